#pragma once
// Control ids of the Server setup dialog, for its template and the dialog's
// code. OK and Cancel are IDOK and IDCANCEL.

namespace outputsetup {

enum ControlId : int {
    kVideoDeviceList = 1034,
    kVideoFormatButton = 1035,  // "Format": the video device's own settings
    kVideoSourceButton = 1036,  // "Source": the camera's capture format
    kAudioDeviceList = 1037,
    kAudioSourceButton = 1054,
    kVideoCodecList = 1009,
    kQualityField = 1015,
    kQualitySpin = 1016,
    kFramesPerSecondField = 1013,
    kFramesPerSecondSpin = 1014,
    kBitrateField = 1011,
    kBitrateSpin = 1012,
    kAudioCodecList = 1018,
    kAudioFormatList = 1019,
    kMaxUsersField = 1022,
    kMaxUsersSpin = 1023,
    kAsfPortField = 1021,
    kHttpPortField = 1024,
    kHelpButton = 1020,
};

}  // namespace outputsetup
