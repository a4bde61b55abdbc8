// Conversions between the host's narrow text, UTF-8 and the UTF-16 the platform takes.
#pragma once
#include <string>

// Host text that is not valid UTF-8 is taken as the ANSI code page and converted; valid UTF-8 is returned unchanged.
std::string HostTextToUtf8(const std::string& text);

#ifdef _WIN32
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// The process's environment variable `name` in UTF-8, as the platform holds it now; empty when unset.
std::string EnvironmentText(const char* name);
// UTF-8 back to the ANSI code page (characters it lacks become its default character).
std::string Utf8ToAnsi(const std::string& text);
// A file path from a script or an edit dialog for the wide file functions: non-ASCII UTF-8 (what the
// dialogs write) is read as UTF-8, anything else in the ANSI code page as the narrow functions would;
// bytes valid both ways take the reading under which the file, or else its folder, exists.
std::wstring HostPathToWide(const std::string& path);
#endif
