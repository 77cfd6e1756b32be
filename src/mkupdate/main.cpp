// ostrel-mkupdate: makes the update that takes an installation of one version of the client bundle
// to another.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/standard_options.h"
#include "mkupdate/manifest_writer.h"
#include "mkupdate/update_builder.h"

namespace {

constexpr corvant::ProgramDescription kMkupdate{
    "ostrel-mkupdate", KO_VERSION,
    "Usage: ostrel-mkupdate [--name NAME] --unpack-root DIR [--sign KEY] [--delta]\n"
    "                       OLD.app NEW.app OUT\n"
    "       ostrel-mkupdate --generate-key PREFIX\n"
    "       ostrel-mkupdate --set-key PREFIX.pub BUNDLE.app\n"
    "Writes OUT/UpdateInfo.plist and OUT/Solvane.app: the update that Ostrel applies to an\n"
    "installation of OLD.app to leave NEW.app, every file's bytes and permission bits, every\n"
    "folder and every symbolic link; and OUT/UpdateManifest.plist, which lists them and binds\n"
    "the update to OLD.app's version. NEW.app's version must be newer.\n"
    "  --name NAME         the installed application's name (default Solvane); another name\n"
    "                      makes the update for a branded installation of that name\n"
    "  --unpack-root DIR   the absolute folder where the client unpacks the update on the\n"
    "                      user's machine (required: every source's path lies below it)\n"
    "  --sign KEY          signs the manifest with KEY (a PREFIX.key) in\n"
    "                      OUT/UpdateManifest.plist.sig\n"
    "  --delta             ships a changed file as a patch against OLD.app's file in\n"
    "                      OUT/Patches where the patch is smaller (a delta update)\n"
    "  --generate-key PREFIX  writes a new key pair: PREFIX.key (secret, mode 0600) and\n"
    "                      PREFIX.pub (the public key for the application's Info.plist)\n"
    "  --set-key PREFIX.pub BUNDLE.app  puts the public key into BUNDLE.app's\n"
    "                      Contents/Info.plist as OstrelPublicKey, keeping its other keys\n"
    "Exit status 0 when the update, the key pair or the key was written, 1 otherwise; see\n"
    "ostrel-mkupdate(1).\n"};

int usage(const char* why) {
    std::fprintf(stderr,
                 "ostrel-mkupdate: %s\nusage: ostrel-mkupdate [--name NAME] --unpack-root DIR "
                 "[--sign KEY] [--delta]\n"
                 "                       OLD.app NEW.app OUT\n"
                 "       ostrel-mkupdate --generate-key PREFIX\n"
                 "       ostrel-mkupdate --set-key PREFIX.pub BUNDLE.app\n",
                 why);
    return 1;
}

int generateKey(const std::string& prefix) {
    std::string error;
    if (!ostrel::generateKeyPair(prefix, error)) {
        std::fprintf(stderr, "ostrel-mkupdate: %s\n", error.c_str());
        return 1;
    }
    std::printf(
        "%s.key: the secret key, keep it private; %s.pub: the public key, for the "
        "application's Info.plist as OstrelPublicKey\n",
        prefix.c_str(), prefix.c_str());
    return 0;
}

int setKey(const std::string& publicKey, const std::string& bundle) {
    std::string error;
    if (!ostrel::setBundleKey(publicKey, bundle, error)) {
        std::fprintf(stderr, "ostrel-mkupdate: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s/Contents/Info.plist: OstrelPublicKey set to the key of %s\n", bundle.c_str(),
                publicKey.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (auto status = corvant::answerStandardOption(argc, argv, kMkupdate)) return *status;
    // The key modes stand alone, and their operands are taken as written.
    if (argc > 1 && std::strcmp(argv[1], "--generate-key") == 0) {
        if (argc != 3) return usage("--generate-key takes a PREFIX and nothing else");
        return generateKey(argv[2]);
    }
    if (argc > 1 && std::strcmp(argv[1], "--set-key") == 0) {
        if (argc != 4) return usage("--set-key takes PREFIX.pub and BUNDLE.app and nothing else");
        return setKey(argv[2], argv[3]);
    }
    ostrel::UpdateRequest request;
    std::vector<std::string> operands;
    std::string keyPath;
    for (int i = 1; i < argc; ++i) {
        bool isName = std::strcmp(argv[i], "--name") == 0;
        bool isRoot = std::strcmp(argv[i], "--unpack-root") == 0;
        bool isSign = std::strcmp(argv[i], "--sign") == 0;
        if (std::strcmp(argv[i], "--generate-key") == 0 || std::strcmp(argv[i], "--set-key") == 0)
            return usage((std::string(argv[i]) + " stands alone, as the first argument").c_str());
        if (std::strcmp(argv[i], "--delta") == 0) {
            request.delta = true;
        } else if (isName || isRoot || isSign) {
            if (i + 1 == argc) return usage("an option lacks its value");
            (isName ? request.name : isRoot ? request.unpackRoot : keyPath) = argv[++i];
        } else if (std::strcmp(argv[i], "--") == 0) {
            operands.insert(operands.end(), argv + i + 1, argv + argc);
            break;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return usage((std::string("unknown option ") + argv[i]).c_str());
        } else {
            operands.emplace_back(argv[i]);
        }
    }
    if (operands.size() != 3) return usage("OLD.app, NEW.app and OUT are needed");
    // An empty OUT would put the update at the file system's root ("/Solvane.app").
    for (const std::string& operand : operands)
        if (operand.empty()) return usage("OLD.app, NEW.app and OUT cannot be empty");
    // This machine's OUT is rarely where the client unpacks the update: every source would be
    // missing there, and each run would roll back.
    if (request.unpackRoot.empty())
        return usage(
            "--unpack-root is required: every source of the update is named by its path in the "
            "folder where the client unpacks it, which this machine's OUT is not");
    request.oldBundle = operands[0];
    request.newBundle = operands[1];
    request.out = operands[2];
    std::string error;
    if (!keyPath.empty()) {
        std::optional<std::string> key = ostrel::readSecretKey(keyPath, error);
        if (!key) {
            std::fprintf(stderr, "ostrel-mkupdate: %s\n", error.c_str());
            return 1;
        }
        request.signingKey = std::move(*key);
    }
    request.showProgress = ::isatty(STDERR_FILENO) == 1;
    std::optional<ostrel::UpdateSummary> summary = ostrel::makeUpdate(request, error);
    if (!summary) {
        std::fprintf(stderr, "ostrel-mkupdate: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: %d entries (%d to delete, %d to copy), %ju bytes to ship", request.out.c_str(),
                summary->deletions + summary->copies, summary->deletions, summary->copies,
                summary->bytes);
    if (request.delta) std::printf(", %d files as patches", summary->patched);
    std::printf("\n");
    return 0;
}
