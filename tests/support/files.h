// Files of the tests: a temporary folder per test, whole text files, the environment.
#pragma once

#include <stdlib.h>

#include <string>

// A fresh folder under /tmp ("/tmp/<prefix>XXXXXX"), removed with everything in it when
// the object goes. A folder that cannot be made is a test failure and leaves Path() empty.
class TempFolder {
  public:
    explicit TempFolder(const std::string& prefix);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

    // Makes it the current folder; the one before comes back when the object goes.
    void Enter();
    // Leaves it on disk when the object goes (to inspect a failure).
    void Keep() { keep_ = true; }

  private:
    std::string path_;
    std::string oldCwd_;
    bool keep_ = false;
};

// Sets (or, with nullptr, unsets) an environment variable until the object goes.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value)
        : name_(name), wasSet_(getenv(name) != nullptr), old_(wasSet_ ? getenv(name) : "") {
        value != nullptr ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { wasSet_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool wasSet_;
    std::string old_;
};

void WriteTextFile(const std::string& path, const std::string& text);
// The whole file, or "<missing>" when it cannot be opened.
std::string ReadTextFile(const std::string& path);
