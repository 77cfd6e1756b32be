// The update description on any bytes: read as a property list, its application name taken (also
// read alone, as a run first reads it, which must agree), and both passes applied to its entries,
// with every command they would run checked instead of run.
//
// The link sends the passes' calls of corvant::runCommand to recordCommand below (see
// CMakeLists.txt); LLVMFuzzerInitialize refuses to start unless that is so, because the commands
// name paths taken from the input.
#include "patcher/update_description.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/command.h"
#include "common/log_file.h"
#include "common/plist.h"
#include "patcher/branding.h"

namespace {

int commandsSeen = 0;

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The words after the option are paths: none may reach the program as an option.
bool onlyPathsAfterOption(const corvant::Command& command) {
    const auto& words = command.words();
    for (std::size_t i = 1; i < words.size(); ++i)
        if (words[i].literal.empty() || words[i].literal.front() != '/') return false;
    return !words.empty();
}

}  // namespace

// Stands for corvant::runCommand. Every command the passes form is a removal or a copy of paths;
// one that is anything else is a fault. Commands "fail" now and then so that both outcomes are
// taken.
extern "C" int recordCommand(const corvant::Command& command) __asm__(
    "__wrap__ZN7corvant10runCommandERKNS_7CommandE");
extern "C" int recordCommand(const corvant::Command& command) {
    ++commandsSeen;
    if (command.program() == "true") return 0;
    const std::string text = command.text();
    if (!startsWith(text, "rm -Rf ") && !startsWith(text, "cp -pHfR ")) std::abort();
    if (!onlyPathsAfterOption(command)) std::abort();
    return text.size() % 7 == 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (corvant::runCommand(corvant::Command("true", {})) != 0 || commandsSeen != 1) {
        std::fprintf(stderr, "shell commands are not intercepted; refusing to run\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto parsed = corvant::parsePropertyList(bytes);
    const corvant::Dictionary* updateInfo = parsed ? parsed->as<corvant::Dictionary>() : nullptr;
    // The name read alone, before anything vouches for the rest, is the one of the whole parse.
    const std::optional<std::string> alone = ostrel::installedApplicationName(bytes);
    if (updateInfo == nullptr) return 0;
    if (alone != ostrel::installedApplicationName(*updateInfo)) std::abort();
    // A log that is not open still formats every line it is given.
    corvant::LogFile log(corvant::LogFile::Variant::Patcher);
    const std::string name = ostrel::installedApplicationName(*updateInfo).value_or("Solvane");
    const std::string installedPath = "/Applications/" + name + ".app";
    const bool isBranded = ostrel::isBrandedBundleName(name + ".app");
    if (ostrel::applyDeletions(*updateInfo, installedPath, isBranded, log)) {
        ostrel::applyCopies(*updateInfo, installedPath, isBranded, log);
    }
    return 0;
}
