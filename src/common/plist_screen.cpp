// Checks property-list bytes for what would make libplist abort, recurse without bound or build an
// enormous tree, before it parses them.
#include "common/plist_screen.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace corvant {
namespace {

// ---- XML ------------------------------------------------------------------------------------

bool isTagNameEnd(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>';
}

bool isContainerTag(std::string_view tag) {
    std::size_t length = 0;
    while (length < tag.size() && !isTagNameEnd(tag[length])) ++length;
    const std::string_view name = tag.substr(0, length);
    return name == "dict" || name == "array";
}

// Counts the nesting of the dictionaries and arrays of a document, and the elements inside each,
// erring high: wherever the parser might read markup differently (inside comments, CDATA sections,
// processing instructions and declarations), openings count and closings do not.
class NestingCount {
  public:
    explicit NestingCount(std::size_t maxEntries) : maxEntries_(maxEntries) {}

    // Takes the tag that begins `tag` (at a '<'); false once the nesting passes the limit or a
    // container holds too many elements.
    bool takeTag(std::string_view tag, bool countClosing) {
        const bool closing = tag.starts_with("</");
        const bool container = isContainerTag(tag.substr(closing ? 2 : 1));
        if (closing) {
            if (container && countClosing && !open_.empty()) open_.pop_back();
            return true;
        }
        if (!open_.empty() && ++open_.back().elements > open_.back().mostElements) {
            tooManyEntries_ = true;
            return false;
        }
        if (!container) return true;
        const std::size_t end = tag.find('>');
        const bool selfClosing = end != std::string_view::npos && tag[end - 1] == '/';
        if (selfClosing) return true;
        // A dictionary's entries are a key and a value each.
        const bool dictionary = tag.substr(1).starts_with("dict");
        const std::size_t most =
            dictionary && maxEntries_ <= kAnyNumberOfEntries / 2 ? 2 * maxEntries_ : maxEntries_;
        open_.push_back(Container{0, most});
        return open_.size() <= static_cast<std::size_t>(kMaxPropertyListNesting);
    }

    // Takes every opening tag inside markup that the parser skips.
    bool takeSkipped(std::string_view markup) {
        for (auto at = markup.find('<', 1); at != std::string_view::npos;
             at = markup.find('<', at + 1)) {
            if (!takeTag(markup.substr(at), false)) return false;
        }
        return true;
    }

    bool tooManyEntries() const { return tooManyEntries_; }

  private:
    struct Container {
        std::size_t elements;
        std::size_t mostElements;
    };
    std::size_t maxEntries_;
    std::vector<Container> open_;
    bool tooManyEntries_ = false;
};

// How the markup that begins `rest` (which starts with "<!" or "<?") opens and closes.
std::pair<std::string_view, std::string_view> delimitersOf(std::string_view rest) {
    for (const auto& delimiters : {std::pair<std::string_view, std::string_view>{"<!--", "-->"},
                                   {"<![CDATA[", "]]>"},
                                   {"<?", "?>"}}) {
        if (rest.starts_with(delimiters.first)) return delimiters;
    }
    return {"<!", ">"};
}

// A declaration with an internal subset ("<!DOCTYPE plist [ ... ]>"), which no property list
// needs: where it ends is for the parser to say.
bool hasInternalSubset(std::string_view declaration) {
    const std::size_t bracket = declaration.find('[');
    return bracket != std::string_view::npos && bracket < declaration.find('>');
}

// ---- Binary ---------------------------------------------------------------------------------

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

// Object kinds, the high half of an object's marker byte.
constexpr unsigned kAsciiString = 0x5;
constexpr unsigned kUtf16String = 0x6;
constexpr unsigned kUtf8String = 0x7;
constexpr unsigned kData = 0x4;
constexpr unsigned kArray = 0xA;
constexpr unsigned kSet = 0xC;
constexpr unsigned kDictionary = 0xD;

// A big-endian unsigned number of `width` bytes at `at`; false when it is not inside `bytes`.
bool readNumber(std::string_view bytes, std::uint64_t at, unsigned width, std::uint64_t& value) {
    if (width == 0 || width > 8 || at > bytes.size() || bytes.size() - at < width) return false;
    value = 0;
    for (unsigned i = 0; i < width; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return true;
}

std::uint64_t saturatingSum(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

class BinaryScreen {
  public:
    BinaryScreen(std::string_view bytes, std::size_t maxEntries)
        : bytes_(bytes), maxEntries_(maxEntries) {}

    bool tooManyEntries() const { return tooManyEntries_; }

    bool passes() {
        if (!readTrailer()) return false;
        state_.assign(objectCount_, State::New);
        nodes_.assign(objectCount_, 0);
        height_.assign(objectCount_, 0);
        return enter(topObject_) && walk() && nodes_[topObject_] <= bytes_.size();
    }

  private:
    enum class State : std::uint8_t { New, Open, Done };

    // An object's extent: where its content starts and how many items (bytes, code units or
    // references) it holds.
    struct Extent {
        unsigned kind = 0;
        std::uint64_t contentAt = 0;
        std::uint64_t count = 0;
    };

    // A container being walked: its references, the next one to follow, and what its children
    // add up to so far.
    struct Frame {
        std::uint64_t index;
        std::uint64_t referencesAt;
        std::uint64_t references;
        std::uint64_t next = 0;
        std::uint64_t nodes = 1;
        int childHeight = 0;
    };

    bool readTrailer() {
        const std::size_t size = bytes_.size();
        if (size < kHeaderSize + kTrailerSize) return false;
        const std::size_t trailer = size - kTrailerSize;
        offsetWidth_ = static_cast<unsigned char>(bytes_[trailer + 6]);
        referenceWidth_ = static_cast<unsigned char>(bytes_[trailer + 7]);
        std::uint64_t tableAt = 0;
        if (!readNumber(bytes_, trailer + 8, 8, objectCount_) ||
            !readNumber(bytes_, trailer + 16, 8, topObject_) ||
            !readNumber(bytes_, trailer + 24, 8, tableAt)) {
            return false;
        }
        if (offsetWidth_ < 1 || offsetWidth_ > 8 || referenceWidth_ < 1 || referenceWidth_ > 8)
            return false;
        if (tableAt < kHeaderSize || tableAt > trailer) return false;
        if (objectCount_ == 0 || objectCount_ > (trailer - tableAt) / offsetWidth_) return false;
        tableAt_ = tableAt;
        return topObject_ < objectCount_;
    }

    // Reads the marker and length of object `index` and checks that its content lies in the file.
    bool extentOf(std::uint64_t index, Extent& extent) const {
        std::uint64_t at = 0;
        if (!readNumber(bytes_, tableAt_ + index * offsetWidth_, offsetWidth_, at)) return false;
        if (at < kHeaderSize || at >= tableAt_) return false;
        const auto marker = static_cast<unsigned char>(bytes_[at]);
        extent.kind = marker >> 4;
        extent.count = marker & 0xF;
        extent.contentAt = at + 1;
        if (extent.count == 0xF && isSizedKind(extent.kind)) {
            std::uint64_t lengthMarker = 0;
            if (!readNumber(bytes_, at + 1, 1, lengthMarker)) return false;
            if (lengthMarker >> 4 != 0x1 || (lengthMarker & 0xF) > 3) return false;
            const unsigned width = 1u << (lengthMarker & 0xF);
            if (!readNumber(bytes_, at + 2, width, extent.count)) return false;
            extent.contentAt = at + 2 + width;
        }
        return contentFits(extent);
    }

    static bool isSizedKind(unsigned kind) {
        return isString(kind) || isContainer(kind) || kind == kData;
    }

    static bool isString(unsigned kind) {
        return kind == kAsciiString || kind == kUtf8String || kind == kUtf16String;
    }

    static bool isContainer(unsigned kind) {
        return kind == kArray || kind == kSet || kind == kDictionary;
    }

    std::uint64_t itemWidth(const Extent& extent) const {
        switch (extent.kind) {
            case kUtf16String:
                return 2;
            case kArray:
            case kSet:
                return referenceWidth_;
            case kDictionary:
                return 2 * referenceWidth_;
            default:
                return 1;
        }
    }

    bool contentFits(const Extent& extent) const {
        if (!isSizedKind(extent.kind)) return true;  // fixed-size objects are checked by the parser
        if (extent.contentAt > bytes_.size()) return false;
        const std::uint64_t room = bytes_.size() - extent.contentAt;
        return extent.count <= room / itemWidth(extent);
    }

    bool stringHasNoNul(const Extent& extent) const {
        const char* content = bytes_.data() + extent.contentAt;
        if (extent.kind != kUtf16String) return std::memchr(content, 0, extent.count) == nullptr;
        for (std::uint64_t i = 0; i < extent.count; ++i) {
            if (content[2 * i] == 0 && content[2 * i + 1] == 0) return false;
        }
        return true;
    }

    // Starts on object `index`: a leaf is finished at once, a container gets a frame.
    bool enter(std::uint64_t index) {
        Extent extent;
        if (!extentOf(index, extent)) return false;
        if (!isContainer(extent.kind)) {
            if (isString(extent.kind) && !stringHasNoNul(extent)) return false;
            state_[index] = State::Done;
            nodes_[index] = 1;
            height_[index] = 0;
            return true;
        }
        if (stack_.size() >= static_cast<std::size_t>(kMaxPropertyListNesting)) return false;
        if (extent.count > maxEntries_) {
            tooManyEntries_ = true;
            return false;
        }
        const std::uint64_t references =
            extent.kind == kDictionary ? 2 * extent.count : extent.count;
        state_[index] = State::Open;
        stack_.push_back(Frame{index, extent.contentAt, references});
        return true;
    }

    // Adds a finished child to the frame on top of the stack.
    bool addChild(std::uint64_t child) {
        Frame& frame = stack_.back();
        const int depthBelow = static_cast<int>(stack_.size()) + height_[child];
        if (depthBelow > kMaxPropertyListNesting) return false;
        frame.nodes = saturatingSum(frame.nodes, nodes_[child]);
        frame.childHeight = std::max<int>(frame.childHeight, height_[child]);
        return frame.nodes <= bytes_.size();
    }

    bool walk() {
        while (!stack_.empty()) {
            Frame& frame = stack_.back();
            if (frame.next == frame.references) {
                const Frame finished = frame;
                stack_.pop_back();
                state_[finished.index] = State::Done;
                nodes_[finished.index] = finished.nodes;
                height_[finished.index] = static_cast<std::uint8_t>(finished.childHeight + 1);
                if (!stack_.empty() && !addChild(finished.index)) return false;
                continue;
            }
            std::uint64_t child = 0;
            if (!readNumber(bytes_, frame.referencesAt + frame.next * referenceWidth_,
                            referenceWidth_, child) ||
                child >= objectCount_)
                return false;
            ++frame.next;
            if (state_[child] == State::Open) return false;  // a reference cycle
            if (state_[child] == State::Done) {
                if (!addChild(child)) return false;
                continue;
            }
            if (!enter(child)) return false;
            if (state_[child] == State::Done && !addChild(child)) return false;
        }
        return true;
    }

    std::string_view bytes_;
    std::size_t maxEntries_;
    bool tooManyEntries_ = false;
    unsigned offsetWidth_ = 0;
    unsigned referenceWidth_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t topObject_ = 0;
    std::uint64_t tableAt_ = 0;
    std::vector<State> state_;
    std::vector<std::uint64_t> nodes_;
    std::vector<std::uint8_t> height_;
    std::vector<Frame> stack_;
};

}  // namespace

bool looksLikeBinaryPropertyList(std::string_view bytes) {
    return bytes.starts_with("bplist00");
}

Screening screenXmlPropertyList(std::string_view bytes, std::size_t maxEntries) {
    if (bytes.find('\0') != std::string_view::npos) return Screening::Unsafe;
    NestingCount nesting(maxEntries);
    auto verdict = [&nesting](bool passes) {
        if (passes) return Screening::Passes;
        return nesting.tooManyEntries() ? Screening::TooManyEntries : Screening::Unsafe;
    };
    bool countClosing = true;
    for (auto at = bytes.find('<'); at != std::string_view::npos; at = bytes.find('<', at)) {
        const std::string_view rest = bytes.substr(at);
        if (!rest.starts_with("<!") && !rest.starts_with("<?")) {
            if (!nesting.takeTag(rest, countClosing)) return verdict(false);
            ++at;
            continue;
        }
        // After an internal subset, closings no longer count: the count can only err high.
        if (rest.starts_with("<!") && !rest.starts_with("<!--") && hasInternalSubset(rest))
            countClosing = false;
        const auto [opener, closer] = delimitersOf(rest);
        const std::size_t end = rest.find(closer, opener.size());
        if (!nesting.takeSkipped(rest.substr(0, end))) return verdict(false);
        if (end == std::string_view::npos) break;  // unterminated: the parser refuses it
        at += end + closer.size();
    }
    return verdict(true);
}

Screening screenBinaryPropertyList(std::string_view bytes, std::size_t maxEntries) {
    BinaryScreen screen(bytes, maxEntries);
    if (screen.passes()) return Screening::Passes;
    return screen.tooManyEntries() ? Screening::TooManyEntries : Screening::Unsafe;
}

// The length of the declaration, comment or processing instruction that begins `markup`, before
// the root, when where it ends is beyond doubt: nothing inside it that looks like markup, no
// internal subset, no quote left open (a quoted ">" would not end it). None otherwise.
std::optional<std::size_t> plainPrologMarkupSize(std::string_view markup) {
    const auto [opener, closer] = delimitersOf(markup);
    const std::size_t end = markup.find(closer, opener.size());
    if (end == std::string_view::npos || opener == "<![CDATA[") return std::nullopt;
    const std::string_view inside = markup.substr(opener.size(), end - opener.size());
    const bool plain = inside.find_first_of("<>[") == std::string_view::npos &&
                       std::count(inside.begin(), inside.end(), '"') % 2 == 0 &&
                       std::count(inside.begin(), inside.end(), '\'') % 2 == 0;
    if (!plain) return std::nullopt;
    return end + closer.size();
}

std::optional<std::vector<std::size_t>> xmlRootDictionaryKeys(std::string_view bytes) {
    std::vector<std::size_t> keys;
    int depth = 0;          // containers open
    bool inRoot = false;    // the root dictionary is open
    bool expectKey = true;  // the next child of the root is a key
    for (auto at = bytes.find('<'); at != std::string_view::npos; at = bytes.find('<', at + 1)) {
        const std::string_view tag = bytes.substr(at);
        if (tag.starts_with("<!") || tag.starts_with("<?")) {
            if (depth > 0 || inRoot) return std::nullopt;
            const std::optional<std::size_t> size = plainPrologMarkupSize(tag);
            if (!size) return std::nullopt;
            at += *size - 1;
            continue;
        }
        const bool closing = tag.starts_with("</");
        const bool container = isContainerTag(tag.substr(closing ? 2 : 1));
        const std::size_t end = tag.find('>');
        if (end == std::string_view::npos) return std::nullopt;
        const bool selfClosing = tag[end - 1] == '/';
        if (closing) {
            if (container && depth == 0) return std::nullopt;
            if (container && --depth == 0) {
                if (!inRoot || !expectKey) return std::nullopt;
                keys.push_back(at);
                return keys;
            }
            continue;
        }
        if (depth == 0 && !inRoot) {
            if (!container && tag.starts_with("<plist")) continue;
            if (!container) return std::nullopt;
            if (!tag.starts_with("<dict") || selfClosing) return std::nullopt;
            inRoot = true;
            depth = 1;
            continue;
        }
        if (depth == 1) {
            const bool isKey = tag.starts_with("<key>");
            if (isKey != expectKey) return std::nullopt;
            if (isKey) keys.push_back(at);
            expectKey = !expectKey;
        }
        if (container && !selfClosing) ++depth;
    }
    return std::nullopt;
}

bool isSafeXmlPropertyList(std::string_view bytes) {
    return screenXmlPropertyList(bytes, kAnyNumberOfEntries) == Screening::Passes;
}

bool isSafeBinaryPropertyList(std::string_view bytes) {
    return screenBinaryPropertyList(bytes, kAnyNumberOfEntries) == Screening::Passes;
}

}  // namespace corvant
