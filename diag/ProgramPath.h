#pragma once
// The running program's own file path, and the files named after it: the
// configuration file and the error dump sit beside the program and take its
// name with the last three characters replaced ("lumasrv.bin" gives
// "lumasrv.cfg" and "lumasrv.log").

#include <string>

// Full path of the program file, read from /proc/self/exe unless a path was set
// with SetProgramPath. Empty if it cannot be determined.
std::string ProgramPath();

// Makes ProgramPath answer with this path from now on; an empty path returns to
// the running executable. Tests use it to keep their files in a temporary
// folder.
void SetProgramPath(const std::string& path);

// The path the program's own files are named after and kept beside (the
// configuration, the error dump, the viewers' page and the lists): the
// program path itself while the user can write into the program's folder.
// An installed copy's folder is not the user's to write, so there it is the
// program's file name in the user's own Lumacast folder,
// $XDG_CONFIG_HOME/lumacast/ (by default ~/.config/lumacast/), created when
// first needed. Empty when no program path is known.
std::string UserFilesPath();

// The user's Lumacast folder for an installed copy, with its trailing '/'
// (created when missing); empty when neither XDG_CONFIG_HOME nor HOME names
// one.
std::string UserConfigFolder();

// path with its last three characters replaced by suffix (three characters).
// A path shorter than three characters names no file: the result is empty.
std::string ReplaceLastThree(const std::string& path, const char* suffix);

// The folder part of path, with its trailing '/': everything up to and
// including the last '/'. Empty when path has no '/'.
std::string FolderOf(const std::string& path);
