// Drives SharedString through random sequences of appends (of its own text too), reserve /
// write / commit, swaps and destruction, beside a std::string model.
#include "SharedString.h"

#include "FuzzInput.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace {

void Check(const SharedString& text, const std::string& model)
{
    FUZZ_EXPECT(text.Length() == static_cast<int32_t>(model.size()));
    FUZZ_EXPECT(std::memcmp(text.Text(), model.data(), model.size()) == 0);
    FUZZ_EXPECT(text.Text()[model.size()] == '\0');
    const StringData* record = text.Data();
    if (record == &EmptyStringData.header) {
        FUZZ_EXPECT(model.empty());
        return;
    }
    // Capacity class: one of the four pools, or a heap record above them.
    const int32_t capacity = record->capacity;
    FUZZ_EXPECT(capacity >= text.Length());
    FUZZ_EXPECT(capacity > 512 || capacity == 64 || capacity == 128 || capacity == 256 || capacity == 512);
    FUZZ_EXPECT(record->refCount == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    std::unique_ptr<SharedString> texts[2] = {std::make_unique<SharedString>(), std::make_unique<SharedString>()};
    std::string models[2];
    while (!input.Empty()) {
        const uint8_t operation = input.Byte();
        const int which = operation >> 7;
        if (models[which].size() > 20000) { // self-appends double the text: keep each input cheap
            texts[which] = std::make_unique<SharedString>();
            models[which].clear();
        }
        SharedString& text = *texts[which];
        std::string& model = models[which];
        switch (operation % 6) {
        case 0: {
            const std::string appended = input.Text(std::size_t{input.Byte()} * (1u + input.Byte() % 4));
            text.Append(appended.c_str());
            model += appended;
            break;
        }
        case 1: text.Append(nullptr); break;
        case 2: {
            const std::size_t offset = input.Word() % (model.size() + 1);
            text.Append(text.Text() + offset);
            model += model.substr(offset);
            break;
        }
        case 3: {
            const int32_t minCapacity = 1 + input.Word() % 1100;
            char* buffer = text.ReserveBuffer(minCapacity);
            FUZZ_EXPECT(std::memcmp(buffer, model.c_str(), model.size() + 1) == 0);
            const std::string written = input.Text(input.Word() % (minCapacity + 1));
            std::memcpy(buffer, written.data(), written.size());
            if (input.Byte() & 1) {
                buffer[written.size()] = '\0';
                text.CommitBuffer(-1);
            } else {
                text.CommitBuffer(static_cast<int32_t>(written.size()));
            }
            model = written;
            break;
        }
        case 4:
            texts[which] = std::make_unique<SharedString>();
            model.clear();
            break;
        case 5:
            texts[0]->Swap(*texts[1]);
            std::swap(models[0], models[1]);
            break;
        }
        Check(*texts[0], models[0]);
        Check(*texts[1], models[1]);
    }
    return 0;
} // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks): the analyzer loses track of an array of unique_ptr
