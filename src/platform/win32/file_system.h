#pragma once

#include "platform/file_system.h"

namespace tessarin::win32 {

class Win32FileSystem final : public FileSystem {
 public:
  bool exists(const std::string& path) override;
  bool is_file(const std::string& path) override;
  SysResult<std::string> read_file(const std::string& path) override;
  SysStatus write_file(const std::string& path, std::string_view bytes) override;
  SysStatus remove_file(const std::string& path) override;
  SysStatus rename(const std::string& from, const std::string& to) override;
  SysStatus replace(const std::string& from, const std::string& to) override;
  SysStatus create_directories(const std::string& path) override;
  SysResult<std::string> canonicalize(const std::string& path) override;
  SysResult<std::u16string> tree_path(const std::string& path) override;
  LinkStatus link_status(const std::u16string& path) override;
  SysResult<std::vector<DirectoryEntry>> list_directory(const std::u16string& path) override;
  SysStatus remove_file(const std::u16string& path) override;
  SysStatus remove_empty_directory(const std::u16string& path) override;
  SysStatus move_entry(const std::u16string& from, const std::u16string& to) override;
  SysResult<LinkRecord> read_link(const std::u16string& path) override;
  SysResult<std::u16string> open_link_target(const std::u16string& path) override;
  SysResult<std::uint32_t> link_count(const std::u16string& path) override;
  SysResult<std::vector<std::u16string>> file_names(const std::u16string& path) override;
};

}  // namespace tessarin::win32
