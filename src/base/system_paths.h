#pragma once
// Where Windows keeps things: known folders, the temporary, system and Windows directories, the running program,
// and the environment.

#include <windows.h>

#include <cstddef>
#include <string>

namespace pl::base {

// The path of a known folder (FOLDERID_... of <shlobj.h>), or empty on failure.
std::wstring KnownFolderPath(const GUID& folderId);

// The variable's value; empty when it is not set (or set to nothing).
std::wstring ReadEnvironmentVariable(const wchar_t* name);

// What a call that fills a MAX_PATH buffer gave, from the length it returned: the text, or empty when the call
// failed (0) or the buffer was too small (MAX_PATH or more).
std::wstring MaxPathBufferText(const wchar_t* buffer, size_t length);

// Each through one MAX_PATH buffer, empty when the call fails or the buffer is too small.
std::wstring TempDirectoryPath();     // GetTempPathW: with its trailing backslash
std::wstring SystemDirectoryPath();   // GetSystemDirectoryW
std::wstring WindowsDirectoryPath();  // GetWindowsDirectoryW
std::wstring ModuleFilePath();        // GetModuleFileNameW of the running program

// DLLs loaded later by name (LoadLibrary, delay-loaded imports, what COM and the shell load) come from the system
// directory only, never from the program's folder or the current directory, where a planted copy would run with
// the program's rights. The entry calls it first. False when the system refuses.
bool RestrictDllSearchToSystem32();

}  // namespace pl::base
