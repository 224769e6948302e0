#pragma once
// The line numbers under which failed steps enter the error trail. The error
// dump prints them and whoever reads a dump looks them up, so they stay fixed
// whatever happens to the code around the steps. Each entry names the step it
// marks; unless it says otherwise an entry is "hresult failed" with the
// failing code.

#include <cstdint>

enum TrailLine : std::int32_t {
    // Broadcast start (BroadcastSession::StartBroadcast). Each of these ends
    // the start; the broadcast stays stopped.
    kTrailStartCreateProfile = 352,  // the broadcast's WmProfile::Create
    kTrailStartCreateWriter = 355,   // WmWriter::Create
    kTrailStartNetworkSink = 358,    // WmWriter::OpenNetworkSink on the ASF port
    kTrailStartVideoStream = 361,    // WmProfile::AddVideoStream, after kTrailVideoStreamStep
    kTrailStartAudioStream = 364,    // WmProfile::AddAudioStream or GetAudioFormat, after
                                     // kTrailAudioStreamStep, or after kTrailAudioFormatRead
                                     // and kTrailAudioFormatStep
    kTrailStartSetProfile = 367,     // WmWriter::SetProfile
    kTrailStartBeginWriting = 370,   // WmWriter::BeginWriting
    kTrailStartVideoSample = 373,    // the video sample, after kTrailVideoSampleAllocate or
                                     // kTrailVideoSampleBuffer
    kTrailStartAudioSample = 376,    // the audio sample, after kTrailAudioSampleAllocate or
                                     // kTrailAudioSampleBuffer
    kTrailStartPreview = 379,        // CapLib::StartPreview answered 0 (value 0)

    // The steps inside the operations the start calls, recorded just before
    // the start's own entry.
    kTrailVideoStreamStep = 671,      // adding the video stream to the profile
    kTrailAudioStreamStep = 572,      // adding the audio stream to the profile
    kTrailAudioFormatRead = 299,      // reading the audio codec format's wave format ...
    kTrailAudioFormatStep = 579,      // ... and the step of the audio stream that asked for it
    kTrailVideoSampleAllocate = 511,  // WmWriter::AllocateSample for the video sample
    kTrailVideoSampleBuffer = 514,    // the video sample's GetBuffer
    kTrailAudioSampleAllocate = 540,  // WmWriter::AllocateSample for the audio sample
    kTrailAudioSampleBuffer = 543,    // the audio sample's GetBuffer

    // Broadcast stop (BroadcastSession::StopBroadcast): assertions, value 0.
    kTrailStopWriter = 457,   // assert: pWriter (no writer to stop)
    kTrailStopProfile = 458,  // assert: pProfile (no profile to release)

    // Frame timer: the video sample allocated at the first frame of a
    // broadcast that started without one.
    kTrailLateVideoSampleAllocate = 831,  // WmWriter::AllocateSample
    kTrailLateVideoSampleBuffer = 834,    // the sample's GetBuffer

    // Stream writer (WmWriter::OpenNetworkSink): asking the attached sink for
    // its client connections, the viewer count.
    kTrailClientConnections = 116,

    // Server setup dialog: assertions "hr" with the failing code. The dump
    // is rewritten after each of these calls, failed or not.
    kTrailSetupCreateProfile = 28,      // the dialog's own WmProfile::Create
    kTrailSetupVideoCodecCount = 125,   // WmProfile::GetVideoCodecCount
    kTrailSetupVideoCodecName = 135,    // WmProfile::GetVideoCodecName
    kTrailSetupAudioCodecCount = 147,   // WmProfile::GetAudioCodecCount
    kTrailSetupAudioCodecName = 157,    // WmProfile::GetAudioCodecName
    kTrailSetupAudioFormatCount = 238,  // WmProfile::GetAudioFormatCount
    kTrailSetupAudioFormat = 252,       // WmProfile::GetAudioFormat
};
