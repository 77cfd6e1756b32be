// The verbs that need no daemon: check (the ports present against the card list) and lint (the
// card list itself).
#include "daemon/card_list.h"
#include "daemon/card_list_locator.h"
#include "kelvornctl/check.h"
#include "kelvornctl/lint.h"
#include "kelvornctl/output.h"
#include "kelvornctl/verbs.h"
#include "platform/linux/bundle_finder.h"
#include "platform/linux/logind.h"
#include "platform/linux/udev_registry.h"

namespace kelvornctl {

std::string locateCardList() {
    namespace backend = kelvorn::linux_backend;
    backend::EventLoop loop;
    backend::SystemBus bus(loop);
    backend::LogindConsoleUser console(bus);
    backend::BundleFinder applications(console);
    // The daemon's own location, for the user at the console now (or nobody), without its log.
    const kelvorn::CardListLocator locator(applications);
    return locator.cardListPath(console.copyConsoleUser());
}

int runCheck(const Invocation& invocation) {
    const std::string path = invocation.cardList.empty() ? locateCardList() : invocation.cardList;
    const auto cardList = kelvorn::readCardList(path);
    std::vector<std::shared_ptr<kelvorn::RegistryEntry>> entries;
    for (auto& [syspath, entry] : kelvorn::linux_backend::presentSerialEntries()) {
        entries.push_back(std::move(entry));
    }
    const auto ports = checkPorts(entries, cardList.value_or(corvant::Dictionary{}));

    if (invocation.json) {
        corvant::Array rows;
        for (const auto& port : ports) {
            rows.push_back(corvant::Dictionary{
                {"Device", port.device},
                {"BaseName", port.baseName ? corvant::Value(*port.baseName) : corvant::Value()},
                {"Suffix", port.suffix ? corvant::Value(*port.suffix) : corvant::Value()},
                {"VID", port.vendor},
                {"PID", port.product},
                {"Supported", port.verdict.supported()},
                {"Verdict", verdictText(port)}});
        }
        return print(toJson(corvant::Dictionary{{"CardList", path},
                                                {"CardListRead", cardList.has_value()},
                                                {"Ports", rows}},
                            invocation.jsonStyle) +
                     "\n");
    }
    std::string out;
    std::vector<std::vector<std::string>> rows;
    if (invocation.legend) {
        out = "Card list: " + escapeControls(path) +
              (cardList ? "\n" : " (unreadable or missing: checked as an empty list)\n");
        rows.push_back({"DEVICE", "FAMILY", "SUFFIX", "VID", "PID", "VERDICT"});
    }
    const auto text = [](const std::optional<std::string>& value) {
        return cell(value ? corvant::Value(*value) : corvant::Value());
    };
    for (const auto& port : ports) {
        rows.push_back({cell(port.device), text(port.baseName), text(port.suffix),
                        cell(port.vendor), cell(port.product), escapeControls(verdictText(port))});
    }
    if (ports.empty()) return print(invocation.legend ? out + "No serial port present.\n" : out);
    return print(out + table(rows));
}

int runLint(const Invocation& invocation) {
    if (invocation.arguments.size() != 1) {
        complain("lint needs one card list: kelvornctl lint FILE");
        return kExitUsage;
    }
    const std::string& path = invocation.arguments[0];
    const LintReport report = lintCardList(path);
    std::string out;
    if (invocation.json) {
        corvant::Array findings;
        for (const auto& finding : report.findings) {
            corvant::Array keyPath(finding.keyPath.begin(), finding.keyPath.end());
            findings.push_back(
                corvant::Dictionary{{"Severity", finding.error ? "error" : "warning"},
                                    {"KeyPath", keyPath},
                                    {"Message", finding.message}});
        }
        out = toJson(corvant::Dictionary{{"File", path},
                                         {"Findings", findings},
                                         {"Entries", static_cast<std::int64_t>(report.entries)}},
                     invocation.jsonStyle) +
              "\n";
    } else {
        for (const auto& finding : report.findings) {
            out += escapeControls(finding.keyPath.empty() ? path : keyPathText(finding.keyPath)) +
                   (finding.error ? ": error: " : ": warning: ") + escapeControls(finding.message) +
                   "\n";
        }
        if (invocation.legend) {
            out += std::to_string(report.entries) + " (family, suffix, vendor, product) entries\n";
        }
    }
    const int printed = print(out);
    return report.hasErrors() ? kExitFindings : printed;
}

}  // namespace kelvornctl
