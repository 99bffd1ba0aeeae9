// Files and access lists, as the elevated suite sees them.

#include "suite.h"

#include <aclapi.h>
#include <sddl.h>
#include <filesystem>
#include <fstream>

namespace acceptance {

// ---- files and access lists ------------------------------------------------------

// The walks below go through \\?\ paths, so that trailing dots and spaces,
// device names and long paths are neither altered nor out of reach.
std::wstring long_form(const std::wstring& path) {
  return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path;
}
bool exists(const std::wstring& path) {
  return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}
std::string slurp(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void spill(const std::wstring& path, const std::string& bytes) {
  std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}

// Backup and restore let the elevated suite read and delete whatever a child
// locked against its own user, so that the audit misses nothing it cannot open.
void enable_privileges() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
  const Handle token(raw);
  for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid);
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
  }
}

Handle open_entry(const std::wstring& path, DWORD access, DWORD flags) {
  return Handle(
      CreateFileW(long_form(path).c_str(), access,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
}

// The oracle must not share the code under test: this removal and quote()
// below are the suite's own, not the helper's. It never follows a link out
// of the tree, and deletes with the restore privilege what the user cannot.
void remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(long_form(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(long_form(path).c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    list_dir(path, [](const std::wstring& entry) { remove_tree(entry); });
  }
  open_entry(path, DELETE, FILE_FLAG_DELETE_ON_CLOSE);
}

// The access list of the entry itself (a link is not followed), or nothing
// when it cannot be read.
std::optional<std::string> dacl_text(const std::wstring& path) {
  const Handle file = open_entry(path, READ_CONTROL);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!file || GetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  Local<wchar_t*> text;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &text.p, nullptr);
  LocalFree(descriptor);
  return text.p ? u8(text.p) : std::string();
}
// Whether the entry itself has an access entry (allowed or denied, explicit or
// inherited) for `sid`; nothing when it cannot be read.
std::optional<bool> has_ace(const std::wstring& path, const std::string& sid) {
  const auto dacl = dacl_text(path);
  if (!dacl) return std::nullopt;
  return dacl->find(";;;" + sid + ")") != std::string::npos;
}
bool reached(const std::wstring& path, const std::string& sid) {
  return has_ace(path, sid).value_or(false);
}

// Every entry under `path` (links looked at, not followed) that names `sid`,
// or whose access list could not be read.
void find_aces(const std::wstring& path, const std::string& sid, std::vector<std::string>& found) {
  const DWORD attributes = GetFileAttributesW(long_form(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  const auto has = has_ace(path, sid);
  if (!has) found.push_back("unreadable " + u8(path));
  if (has.value_or(false)) found.push_back(u8(path));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (!list_dir(path, [&](const std::wstring& entry) { find_aces(entry, sid, found); })) {
      found.push_back("unlistable " + u8(path));
    }
  }
}

bool add_ace(const std::wstring& path, const std::string& sid, DWORD rights) {
  Local<PSID> trustee;
  if (!ConvertStringSidToSidW(w(sid).c_str(), &trustee.p)) return false;
  PACL old_dacl = nullptr;
  Local<PSECURITY_DESCRIPTOR> descriptor;
  Local<PACL> new_dacl;
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = rights;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.ptstrName = static_cast<LPWSTR>(trustee.p);
  return GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, &old_dacl, nullptr, &descriptor.p) == ERROR_SUCCESS &&
         SetEntriesInAclW(1, &access, old_dacl, &new_dacl.p) == ERROR_SUCCESS &&
         SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, new_dacl.p,
                               nullptr) == ERROR_SUCCESS;
}

}  // namespace acceptance
