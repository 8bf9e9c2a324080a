// The scripting shell as the registry routines use it: RegRead, RegWrite and RegDelete on full
// registry paths ("HKEY_CURRENT_USER\..."; a path that ends in "\" addresses a key itself). On
// Windows this is the "WScript.Shell" object; tests put an in-memory registry behind it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "installer/reg_value.h"

namespace kzInstall {

// Any failure of the shell: it could not be created, or one of its operations failed. Carries
// the status code the platform gave, when there was one.
class ShellFailure : public std::runtime_error {
  public:
    explicit ShellFailure(const std::string& what, std::int32_t code = 0)
        : std::runtime_error(what), code_(code) {}
    std::int32_t code() const { return code_; }

  private:
    std::int32_t code_;
};

class Shell {
  public:
    virtual ~Shell() = default;

    // Returns the stored value, or for a path ending in "\" what the shell answers for the key.
    // Throws ShellFailure when the value or key is absent or cannot be read.
    virtual RegValue RegRead(const std::u16string& path) = 0;

    // Creates the named value or replaces its contents. Without a type the shell picks one.
    // Throws ShellFailure when the write is refused.
    virtual void RegWrite(const std::u16string& path, const RegValue& value,
                          const std::optional<std::u16string>& type) = 0;

    // Removes the named value. Throws ShellFailure when it is absent or the delete is refused.
    virtual void RegDelete(const std::u16string& path) = 0;
};

// Creates a fresh shell object, or throws ShellFailure when none can be created.
using ShellFactory = std::function<std::unique_ptr<Shell>()>;

}  // namespace kzInstall
