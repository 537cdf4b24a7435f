#pragma once
// The stand-in helper copied into a fresh folder an unprivileged user may enter (the build
// tree may not be): a root controller starts the helper as another user.

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

namespace kestrune {

class StandInCopy {
 public:
  StandInCopy() {
    char tmpl[] = "/tmp/kl-client-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    std::filesystem::copy_file(KL_STAND_IN, path());
    chmod(path().c_str(), 0755);
  }
  ~StandInCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  StandInCopy(const StandInCopy&) = delete;
  StandInCopy& operator=(const StandInCopy&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path path() const { return dir_ / "stand_in"; }

 private:
  std::filesystem::path dir_;
};

}  // namespace kestrune
