// Operating-system services the front end and components ask for.
#pragma once

#include <string>

// Special folder by the shell's number. 35 (application data common to all users) is
// $XDG_CONFIG_HOME (when absolute), else $HOME/.config; 40 (the user's profile) is $HOME
// ($HOME unset: the password entry's home). A trailing "/" is appended when the path is not
// empty and has none; unknown numbers give "".
std::string GetSpecialFolder(int csidl);

// Login name of the calling user ("" when the system has none).
std::string GetUserLoginName();

// True when a temporary file "DAXXXXXX" can be created in `folder` and deleted again; false
// for "" and for a missing folder.
bool IsFolderWritable(const std::string& folder);

// "" when the variable is not set. Both are serialised with each other (not with direct
// getenv/setenv calls elsewhere).
std::string GetEnvironmentVariable(const std::string& name);
// An empty value removes the variable. False for an empty name or one holding "=".
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

// Drive types by the Windows numbers: 0 unknown, 1 no such path, 2 removable, 3 fixed,
// 4 remote (nfs, cifs, smb), 5 CD-ROM (file system iso9660 or UDF), 6 RAM disk (tmpfs,
// ramfs), by statfs of the path itself. Removable media are not told apart from fixed ones.
enum TDriveType {
    dtUnknown = 0,
    dtNoRootDir = 1,
    dtRemovable = 2,
    dtFixed = 3,
    dtRemote = 4,
    dtCDROM = 5,
    dtRamDisk = 6
};
int GetDriveType(const std::string& path);

// The last `count` characters of `text` (UTF-8 characters), or the whole text when shorter;
// "" when `count` <= 0.
std::string RightText(const std::string& text, int count);

// Folder helpers.
bool FileExists(const std::string& path); // a file, not a directory
bool DirectoryExists(const std::string& path);
bool ForceDirectories(const std::string& path); // creates missing parents; true when it exists
std::string ExtractFilePath(const std::string& path); // up to and including the last "/"
std::string ExtractFileName(const std::string& path);
std::string IncludeTrailingPathDelimiter(const std::string& path); // "" stays ""

// Folder of the running executable, with a trailing "/".
std::string ExecutableFolder();
