#include "private_root.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace fs = std::filesystem;

namespace {

// Single-quotes `word` for /bin/sh.
std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The host's top-level folders, shown read-only, and its top-level links, recreated; the folders
// the private root replaces are left out.
std::vector<std::string> hostRootArguments(const std::map<std::string, fs::path>& binds) {
    std::vector<std::string> arguments;
    for (const fs::directory_entry& entry : fs::directory_iterator("/")) {
        std::string path = entry.path().string();
        if (path == "/proc" || path == "/dev" || path == "/tmp" || binds.count(path) != 0) continue;
        if (entry.is_symlink())
            arguments.insert(arguments.end(),
                             {"--symlink", fs::read_symlink(entry.path()).string(), path});
        else if (entry.is_directory())
            arguments.insert(arguments.end(), {"--ro-bind", path, path});
    }
    return arguments;
}

PrivateRoot::Result runCapturing(const std::vector<std::string>& command) {
    std::string line;
    for (const std::string& word : command) line += quoted(word) + " ";
    line += "2>&1";
    PrivateRoot::Result result;
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer{};
    size_t read = 0;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.output.append(buffer.data(), read);
    int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

}  // namespace

PrivateRoot::PrivateRoot() {
    std::string pattern = (fs::temp_directory_path() / "private-root-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = pattern;
    for (const char* folder : {"/Applications", "/Library", "/Users", "/Stubs"}) bindFolder(folder);
    fs::create_directories(host(kHome));
    addStub("open",
            "for argument in \"$@\"; do printf '[%s]' \"$argument\"; done >> /Stubs/open.calls\n"
            "echo >> /Stubs/open.calls\n");
}

PrivateRoot::~PrivateRoot() {
    std::error_code ignored;
    // Undo read-only permissions that scenarios set, so that everything can go.
    for (auto it = fs::recursive_directory_iterator(base_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(base_, ignored);
}

bool PrivateRoot::available() {
    static const bool works = [] {
        if (std::system("command -v bwrap >/dev/null 2>&1") != 0) return false;
        PrivateRoot root;
        return root.run({"/bin/true"}).exitStatus == 0;
    }();
    return works;
}

fs::path PrivateRoot::host(const std::string& insidePath) const {
    for (const auto& [inside, hostFolder] : binds_) {
        if (insidePath == inside) return hostFolder;
        if (insidePath.rfind(inside + "/", 0) == 0)
            return hostFolder / insidePath.substr(inside.size() + 1);
    }
    throw std::invalid_argument("not inside a writable folder of the private root: " + insidePath);
}

void PrivateRoot::bindFolder(const std::string& insidePath) {
    fs::path hostFolder = base_ / ("bind" + std::to_string(binds_.size()));
    fs::create_directories(hostFolder);
    binds_[insidePath] = hostFolder;
}

void PrivateRoot::mountSmallFileSystem(const std::string& insidePath, std::size_t bytes) {
    smallFileSystems_.emplace_back(insidePath, bytes);
}

void PrivateRoot::addStub(const std::string& name, const std::string& script) {
    fs::path path = host("/Stubs/" + name);
    writeFile(path, "#!/bin/sh\n" + script);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

void PrivateRoot::install(const fs::path& hostFile, const std::string& insidePath) {
    fs::path target = host(insidePath);
    fs::create_directories(target.parent_path());
    fs::copy_file(hostFile, target, fs::copy_options::overwrite_existing);
}

std::vector<std::string> PrivateRoot::openCalls() const {
    std::vector<std::string> calls;
    std::istringstream lines(readFile(host("/Stubs/open.calls")));
    for (std::string line; std::getline(lines, line);) calls.push_back(line);
    return calls;
}

PrivateRoot::Result PrivateRoot::run(const std::vector<std::string>& command,
                                     const std::map<std::string, std::string>& environment) const {
    std::vector<std::string> arguments = {"bwrap", "--die-with-parent", "--cap-drop", "ALL"};
    if (::geteuid() != 0) arguments.push_back("--unshare-user");
    for (const std::string& argument : hostRootArguments(binds_)) arguments.push_back(argument);
    arguments.insert(arguments.end(), {"--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp"});
    for (const auto& [inside, hostFolder] : binds_)
        arguments.insert(arguments.end(), {"--bind", hostFolder.string(), inside});
    for (const auto& [inside, bytes] : smallFileSystems_)
        arguments.insert(arguments.end(), {"--size", std::to_string(bytes), "--tmpfs", inside});
    std::map<std::string, std::string> variables = {
        {"HOME", kHome}, {"PATH", "/Stubs:/usr/local/bin:/usr/bin:/bin"}};
    for (const auto& [name, value] : environment) variables[name] = value;
    for (const auto& [name, value] : variables)
        arguments.insert(arguments.end(), {"--setenv", name, value});
    arguments.insert(arguments.end(), {"--chdir", kHome, "--"});
    arguments.insert(arguments.end(), command.begin(), command.end());
    return runCapturing(arguments);
}

std::string readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace testing_support
