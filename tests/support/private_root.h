// A private root for end-to-end runs of the real executables: bubblewrap shows the host's folders
// read-only and puts temporary folders at /Applications, /Library and /Users, so that the fixed
// absolute paths the programs use are real and the host is never touched.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

class PrivateRoot {
  public:
    struct Result {
        int exitStatus = -1;  // the program's exit status; -1 when it did not exit normally
        std::string output;   // standard output and standard error together
    };

    // Makes the temporary folders: /Applications, /Library, /Users with the home folder
    // /Users/tester in it, and /Stubs, which comes first on PATH. Holds a stub `open` that appends
    // one line per call to /Stubs/open.calls, each argument in square brackets.
    PrivateRoot();
    // Removes every temporary folder.
    ~PrivateRoot();
    PrivateRoot(const PrivateRoot&) = delete;
    PrivateRoot& operator=(const PrivateRoot&) = delete;

    // True when bubblewrap can make a private root on this machine.
    static bool available();

    static constexpr const char* kHome = "/Users/tester";

    // The host path of a path inside the private root; it must lie below one of its writable
    // folders (/Applications, /Library, /Users, /Stubs or a folder added with bindFolder).
    std::filesystem::path host(const std::string& insidePath) const;

    // Mounts a fresh, empty, writable temporary folder at `insidePath` (which must be a new
    // top-level folder or an existing folder of the host, such as /usr/local/bin).
    void bindFolder(const std::string& insidePath);

    // Mounts, at each run, an empty file system of `bytes` bytes at `insidePath` (below a writable
    // folder), for runs that fill it. What is written there is gone after the run.
    void mountSmallFileSystem(const std::string& insidePath, std::size_t bytes);

    // Writes an executable script into /Stubs.
    void addStub(const std::string& name, const std::string& script);

    // Copies a host file into the private root at `insidePath`, keeping its permissions and making
    // the folders above it.
    void install(const std::filesystem::path& hostFile, const std::string& insidePath);

    // The lines the stub `open` recorded.
    std::vector<std::string> openCalls() const;

    // Runs `command` inside the private root, with HOME set to the home folder, the working folder
    // at the home folder, and PATH starting with /Stubs; `environment` adds or replaces variables.
    // Runs without capabilities, so file permissions hold as they would for an ordinary user.
    Result run(const std::vector<std::string>& command,
               const std::map<std::string, std::string>& environment = {}) const;

  private:
    std::filesystem::path base_;
    std::map<std::string, std::filesystem::path> binds_;  // inside path -> host folder
    std::vector<std::pair<std::string, std::size_t>> smallFileSystems_;
};

// Helpers for what the scenarios look at on disk.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);

}  // namespace testing_support
