#pragma once
// AppContainer profiles and SIDs (userenv and advapi32 on Windows).
// Result codes are passed back raw; the callers turn them into messages.

#include <cstdint>
#include <string>
#include <utility>

#include "base/result.h"

namespace tessarin {

class AppContainerApi;

// How a SID buffer must be released, which depends on where it came from.
enum class SidOrigin {
  kFreeSid,    // CreateAppContainerProfile, DeriveAppContainerSidFromAppContainerName
  kLocalFree,  // ConvertStringSidToSidW
};

// A SID the helper owns and releases exactly once, with the function its
// origin requires.
class OwnedSid {
 public:
  OwnedSid() = default;
  OwnedSid(AppContainerApi& api, void* sid, SidOrigin origin)
      : api_(&api), sid_(sid), origin_(origin) {}
  OwnedSid(OwnedSid&& other) noexcept
      : api_(other.api_), sid_(std::exchange(other.sid_, nullptr)), origin_(other.origin_) {}
  OwnedSid& operator=(OwnedSid&& other) noexcept {
    if (this != &other) {
      reset();
      api_ = other.api_;
      sid_ = std::exchange(other.sid_, nullptr);
      origin_ = other.origin_;
    }
    return *this;
  }
  OwnedSid(const OwnedSid&) = delete;
  OwnedSid& operator=(const OwnedSid&) = delete;
  ~OwnedSid() { reset(); }

  void* get() const { return sid_; }
  SidOrigin origin() const { return origin_; }
  explicit operator bool() const { return sid_ != nullptr; }
  inline void reset();

 private:
  AppContainerApi* api_ = nullptr;
  void* sid_ = nullptr;
  SidOrigin origin_ = SidOrigin::kFreeSid;
};

// The raw outcome of a call that yields a SID: its HRESULT and the SID (null
// when the call gave none). A non-null SID must be wrapped and released.
struct SidCall {
  std::uint32_t result = 0;
  void* sid = nullptr;
};

class AppContainerApi {
 public:
  virtual ~AppContainerApi() = default;

  // CreateAppContainerProfile with no capabilities.
  virtual SidCall create_profile(const std::string& name, const std::string& display_name,
                                 const std::string& description) = 0;
  // DeriveAppContainerSidFromAppContainerName.
  virtual SidCall derive_sid(const std::string& name) = 0;
  // GetAppContainerFolderPath on the SID's text form: the HRESULT, and whether
  // a path came back (it is released at once).
  struct FolderPath {
    std::uint32_t result = 0;
    bool has_path = false;
  };
  virtual FolderPath folder_path(const std::string& sid_text) = 0;

  // ConvertSidToStringSidW; on failure the error is GetLastError.
  virtual Result<std::string, std::uint32_t> sid_to_string(const void* sid) = 0;
  // ConvertStringSidToSidW; the SID is released with LocalFree. On failure the
  // error is GetLastError.
  virtual Result<void*, std::uint32_t> string_to_sid(const std::string& text) = 0;

  virtual void release_sid(void* sid, SidOrigin origin) = 0;
};

inline void OwnedSid::reset() {
  if (sid_ != nullptr) api_->release_sid(std::exchange(sid_, nullptr), origin_);
}

}  // namespace tessarin
