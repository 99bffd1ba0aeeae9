#pragma once
// AppContainer profiles and SIDs (userenv and advapi32 on Windows). Every
// failure carries the function's HRESULT, or the last error of the functions
// that have none; the callers turn them into messages.

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

class AppContainerApi {
 public:
  virtual ~AppContainerApi() = default;

  // CreateAppContainerProfile with no capabilities. A profile of that name
  // that is registered already fails with already_exists(error). A failure
  // carries the HRESULT as its code; so does a success that yields no SID,
  // and a SID that came with a failure has been released.
  virtual SysResult<OwnedSid> create_profile(const std::string& name,
                                             const std::string& display_name,
                                             const std::string& description) = 0;
  // DeriveAppContainerSidFromAppContainerName, failing as create_profile.
  virtual SysResult<OwnedSid> derive_sid(const std::string& name) = 0;
  // GetAppContainerFolderPath on the SID's text form, which succeeds only for
  // a registered profile: the profile's folder (...\Packages\<name>\AC),
  // which the system makes the container's LOCALAPPDATA, with its Temp as
  // TEMP and TMP. A call that yields no path fails with the HRESULT.
  virtual SysResult<std::string> folder_path(const std::string& sid_text) = 0;

  // ConvertSidToStringSidW.
  virtual SysResult<std::string> sid_to_string(const void* sid) = 0;
  // ConvertStringSidToSidW; the SID is released with LocalFree. A success
  // without a SID fails with code 0.
  virtual SysResult<OwnedSid> string_to_sid(const std::string& text) = 0;

  virtual void release_sid(void* sid, SidOrigin origin) = 0;
};

inline void OwnedSid::reset() {
  if (sid_ != nullptr) api_->release_sid(std::exchange(sid_, nullptr), origin_);
}

}  // namespace tessarin
