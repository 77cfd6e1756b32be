// The formatter on any format text with arguments of every kind, nested collections included.
#include "common/format.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/value.h"

namespace {

using corvant::Value;

Value makeValue(FuzzedDataProvider& input, int depth);

Value makeCollection(FuzzedDataProvider& input, int depth, bool dictionary) {
    const auto count = input.ConsumeIntegralInRange<int>(0, 4);
    corvant::Array array;
    corvant::Dictionary entries;
    for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        if (dictionary) {
            std::string key = input.ConsumeRandomLengthString(16);
            entries.insert_or_assign(std::move(key), makeValue(input, depth + 1));
        } else {
            array.push_back(makeValue(input, depth + 1));
        }
    }
    return dictionary ? Value(std::move(entries)) : Value(std::move(array));
}

Value makeValue(FuzzedDataProvider& input, int depth) {
    switch (input.ConsumeIntegralInRange<int>(0, depth < 8 ? 8 : 6)) {
        case 0:
            return Value();
        case 1:
            return Value(input.ConsumeRandomLengthString(64));
        case 2:
            return Value(input.ConsumeIntegral<std::int64_t>());
        case 3:
            return Value(input.ConsumeFloatingPoint<double>());
        case 4:
            return Value(input.ConsumeBool());
        case 5:
            return Value(corvant::Date{input.ConsumeFloatingPoint<double>()});
        case 6:
            return Value(corvant::Data{input.ConsumeBytes<std::uint8_t>(
                input.ConsumeIntegralInRange<std::size_t>(0, 16))});
        case 7:
            return makeCollection(input, depth, false);
        default:
            return makeCollection(input, depth, true);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string format = input.ConsumeRandomLengthString(256);
    std::vector<Value> arguments;
    const auto count = input.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < count; ++i) arguments.push_back(makeValue(input, 0));
    corvant::formatMessage(format, arguments);
    for (const Value& argument : arguments) corvant::describe(argument);
    return 0;
}
