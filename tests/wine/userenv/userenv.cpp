// A stand-in for the AppContainer profile functions of userenv.dll, which
// Wine lacks, for the Wine tests only. It is installed in the system
// directory, which every test shares, and keeps its state in files in the
// directory that the variable STAND_IN_STATE_DIR names, which each test sets
// to one of its own (the helper never reads it). Without the variable every
// function fails with E_UNEXPECTED. The files:
//
//   userenv-profiles.txt  the registered profiles, one per line:
//                         name TAB display name TAB description
//   userenv-control.txt   forced outcomes, one per line:
//                         create NAME CODE      CreateAppContainerProfile gives CODE, no SID
//                         create-null-sid NAME  CreateAppContainerProfile registers, gives S_OK
//                                               and no SID
//                         derive NAME CODE      DeriveAppContainerSidFromAppContainerName
//                                               gives CODE, no SID
//                         folder NAME CODE      GetAppContainerFolderPath gives CODE, no path
//                         (CODE in decimal or 0x-hexadecimal)
//   calls.log             one JSON object per call, shared with the other
//                         stand-ins so that the order across them shows
//   Packages\<name>\AC    each profile's folder, lower-cased, with its Temp
//
// SIDs are S-1-15-2- and seven numbers hashed from the lower-cased name, so a
// name always gives the same SID; they are made with AllocateAndInitializeSid
// so that FreeSid releases them.

#include <windows.h>

#include <objbase.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr HRESULT kAlreadyExists = static_cast<HRESULT>(0x800700B7u);
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002u);

std::string narrow(const wchar_t* text) {
  if (text == nullptr) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();
  return out;
}

std::wstring widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.pop_back();
  return out;
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

constexpr HRESULT kNoStateDirectory = static_cast<HRESULT>(0x8000FFFFu);  // E_UNEXPECTED

std::wstring state_directory() {
  std::wstring value(32768, L'\0');
  const DWORD n = GetEnvironmentVariableW(L"STAND_IN_STATE_DIR", value.data(),
                                          static_cast<DWORD>(value.size()));
  if (n == 0 || n >= value.size()) return {};
  value.resize(n);
  return value;
}

std::wstring state_file(const wchar_t* name) {
  return state_directory() + L"\\" + name;
}

std::string read_file(const wchar_t* name) {
  const HANDLE file =
      CreateFileW(state_file(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

void append_file(const wchar_t* name, const std::string& bytes) {
  const HANDLE file =
      CreateFileW(state_file(name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::vector<std::vector<std::string>> lines_of(const std::string& bytes, char separator) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(bytes);
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::istringstream fields(line);
    lines.emplace_back();
    for (std::string field; std::getline(fields, field, separator);) lines.back().push_back(field);
  }
  return lines;
}

// The forced code of `verb` for `name`, if the control file has one.
bool forced(const std::string& verb, const std::string& name, HRESULT& code) {
  for (const auto& fields : lines_of(read_file(L"userenv-control.txt"), ' ')) {
    if (fields.size() >= 2 && fields[0] == verb && lower(fields[1]) == lower(name)) {
      code = fields.size() >= 3 ? static_cast<HRESULT>(std::stoul(fields[2], nullptr, 0)) : 0;
      return true;
    }
  }
  return false;
}

bool registered(const std::string& name) {
  for (const auto& fields : lines_of(read_file(L"userenv-profiles.txt"), '\t')) {
    if (lower(fields[0]) == lower(name)) return true;
  }
  return false;
}

std::vector<DWORD> sub_authorities(const std::string& name) {
  std::vector<DWORD> out = {2};  // SECURITY_APP_PACKAGE_BASE_RID
  for (std::uint32_t i = 1; i <= 7; ++i) {
    std::uint32_t hash = 2166136261u ^ (i * 0x9E3779B9u);
    for (const char c : lower(name)) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    out.push_back(hash);
  }
  return out;
}

std::string sid_text(const std::string& name) {
  std::string text = "S-1-15";
  for (const DWORD part : sub_authorities(name)) {
    text += '-';
    text += std::to_string(part);
  }
  return text;
}

PSID make_sid(const std::string& name) {
  const std::vector<DWORD> parts = sub_authorities(name);
  SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 0, 15}};  // SECURITY_APP_PACKAGE_AUTHORITY
  PSID sid = nullptr;
  if (!AllocateAndInitializeSid(&authority, 8, parts[0], parts[1], parts[2], parts[3], parts[4],
                                parts[5], parts[6], parts[7], &sid)) {
    return nullptr;
  }
  return sid;
}

char hex_digit(unsigned value) {
  return "0123456789abcdef"[value & 15];
}

std::string json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += "\\u00";
      out += hex_digit(static_cast<unsigned char>(c) >> 4);
      out += hex_digit(static_cast<unsigned char>(c) & 15);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string hex(HRESULT code) {
  const auto value = static_cast<std::uint32_t>(code);
  std::string out = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out += hex_digit((value >> shift) & 15);
  return out;
}

// Without a directory of its own a call would share its files with every
// other test: it fails, giving nothing and logging nothing.
template <class Out>
bool without_state_directory(Out* out) {
  if (!state_directory().empty()) return false;
  if (out != nullptr) *out = nullptr;
  return true;
}

void log_call(const std::string& fields) {
  append_file(L"calls.log", "{\"tool\":\"userenv\"," + fields + "}\n");
}

}  // namespace

extern "C" HRESULT WINAPI CreateAppContainerProfile(PCWSTR name, PCWSTR display_name,
                                                    PCWSTR description,
                                                    PSID_AND_ATTRIBUTES capabilities,
                                                    DWORD capability_count, PSID* sid) {
  if (without_state_directory(sid)) return kNoStateDirectory;
  const std::string profile = narrow(name);
  HRESULT result = S_OK;
  PSID made = nullptr;
  if (name == nullptr || display_name == nullptr || description == nullptr || sid == nullptr) {
    result = E_INVALIDARG;
  } else if (forced("create", profile, result)) {
  } else if (registered(profile)) {
    result = kAlreadyExists;
  } else {
    append_file(L"userenv-profiles.txt",
                profile + "\t" + narrow(display_name) + "\t" + narrow(description) + "\n");
    HRESULT ignored = S_OK;
    if (!forced("create-null-sid", profile, ignored)) made = make_sid(profile);
  }
  if (sid != nullptr) *sid = made;
  log_call("\"call\":\"CreateAppContainerProfile\",\"name\":" + json(profile) +
           ",\"display_name\":" + json(narrow(display_name)) +
           ",\"description\":" + json(narrow(description)) +
           ",\"capabilities\":" + (capabilities == nullptr ? "null" : "\"given\"") +
           ",\"capability_count\":" + std::to_string(capability_count) + ",\"result\":\"" +
           hex(result) + "\",\"sid\":" + (made == nullptr ? "null" : json(sid_text(profile))));
  return result;
}

extern "C" HRESULT WINAPI DeriveAppContainerSidFromAppContainerName(PCWSTR name, PSID* sid) {
  if (without_state_directory(sid)) return kNoStateDirectory;
  const std::string profile = narrow(name);
  HRESULT result = S_OK;
  PSID made = nullptr;
  if (name == nullptr || sid == nullptr) {
    result = E_INVALIDARG;
  } else if (!forced("derive", profile, result)) {
    made = make_sid(profile);
  }
  if (sid != nullptr) *sid = made;
  log_call("\"call\":\"DeriveAppContainerSidFromAppContainerName\",\"name\":" + json(profile) +
           ",\"result\":\"" + hex(result) +
           "\",\"sid\":" + (made == nullptr ? "null" : json(sid_text(profile))));
  return result;
}

extern "C" HRESULT WINAPI GetAppContainerFolderPath(PCWSTR sid_string, PWSTR* path) {
  if (without_state_directory(path)) return kNoStateDirectory;
  const std::string wanted = narrow(sid_string);
  HRESULT result = kNotFound;
  std::string found;
  if (sid_string == nullptr || path == nullptr) {
    result = E_INVALIDARG;
  } else {
    for (const auto& fields : lines_of(read_file(L"userenv-profiles.txt"), '\t')) {
      if (sid_text(fields[0]) == wanted) {
        found = fields[0];
        result = S_OK;
        break;
      }
    }
  }
  if (!found.empty() && forced("folder", found, result)) found.clear();
  PWSTR made = nullptr;
  if (!found.empty()) {
    // A real folder per profile, made with its Temp on first use, as the
    // system makes one when it registers a profile.
    std::wstring folder = state_directory();
    for (const std::wstring& part : {std::wstring(L"Packages"), widen(lower(found)),
                                     std::wstring(L"AC"), std::wstring(L"Temp")}) {
      folder += L"\\" + part;
      CreateDirectoryW(folder.c_str(), nullptr);
    }
    folder.resize(folder.size() - 5);
    const std::size_t bytes = (folder.size() + 1) * sizeof(wchar_t);
    made = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
    if (made != nullptr) {
      CopyMemory(made, folder.c_str(), bytes);
    } else {
      result = E_OUTOFMEMORY;
    }
  }
  if (path != nullptr) *path = made;
  log_call("\"call\":\"GetAppContainerFolderPath\",\"sid\":" + json(wanted) + ",\"name\":" +
           (found.empty() ? "null" : json(found)) + ",\"result\":\"" + hex(result) + "\"");
  return result;
}
