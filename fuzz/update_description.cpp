// The update description on any bytes: read as a property list, its application name taken, and
// both passes applied to its entries, with every command they would run checked instead of run.
//
// The link sends the passes' calls of corvant::runShellCommand to recordCommand below (see
// CMakeLists.txt); LLVMFuzzerInitialize refuses to start unless that is so, because the commands
// name paths taken from the input.
#include "patcher/update_description.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/log_file.h"
#include "common/plist.h"
#include "common/shell.h"
#include "patcher/branding.h"

namespace {

int commandsSeen = 0;

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

// Stands for corvant::runShellCommand. Every command the passes form is a removal or a copy; one
// that is anything else is a fault. Commands "fail" now and then so that both outcomes are taken.
extern "C" int recordCommand(const std::string& command) __asm__(
    "__wrap__ZN7corvant15runShellCommandERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
extern "C" int recordCommand(const std::string& command) {
    ++commandsSeen;
    if (command == "true") return 0;
    if (!startsWith(command, "rm -Rf ") && !startsWith(command, "cp -pHfR ")) std::abort();
    return command.size() % 7 == 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (corvant::runShellCommand("true") != 0 || commandsSeen != 1) {
        std::fprintf(stderr, "shell commands are not intercepted; refusing to run\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto parsed = corvant::parsePropertyList(bytes);
    const corvant::Dictionary* updateInfo = parsed ? parsed->as<corvant::Dictionary>() : nullptr;
    if (updateInfo == nullptr) return 0;
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
