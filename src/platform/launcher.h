#pragma once
// Starting and supervising the sandboxed child (kernel32 process, job and
// attribute-list calls).

namespace tessarin {

class LaunchApi {
 public:
  virtual ~LaunchApi() = default;
};

}  // namespace tessarin
