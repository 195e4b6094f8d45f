#include "SharedString.h"

#include "PlatformPrimitives.h"
#include "SizeArithmetic.h"
#include "StringPools.h"

#include <cassert>
#include <cstddef>
#include <cstring>
#include <new>

const EmptyStringRecord EmptyStringData = {{-1, 0, 0}, '\0'};
static_assert(offsetof(EmptyStringRecord, terminator) == sizeof(StringData),
    "the empty record's terminator directly follows its header");

namespace {

char* EmptyCharacters()
{
    // Read-only: the invariants keep every write away from it.
    return const_cast<char*>(&EmptyStringData.terminator);
}

bool IsEmptyStringData(const StringData* record) { return record == &EmptyStringData.header; }

// Size class 1 to 4 for n characters, 0 for a heap record. Pre: n >= 1.
int SizeClassFor(int32_t n)
{
    for (int sizeClass = 1; sizeClass <= StringPoolCount; ++sizeClass)
        if (n <= StringPoolCapacity(sizeClass))
            return sizeClass;
    return 0;
}

// Size class whose records carry this capacity, 0 for a heap record.
int SizeClassOfCapacity(int32_t capacity)
{
    for (int sizeClass = 1; sizeClass <= StringPoolCount; ++sizeClass)
        if (capacity == StringPoolCapacity(sizeClass))
            return sizeClass;
    return 0;
}

} // namespace

SharedString::SharedString() noexcept : characters(EmptyCharacters()) {}

SharedString::~SharedString() { ReleaseData(Record()); }

SharedString& SharedString::Append(const char* text)
{
    AppendChars(text != nullptr ? PlatformTextLength(text) : 0, text);
    return *this;
}

char* SharedString::ReserveBuffer(int32_t minCapacity)
{
    assert(minCapacity >= 1);
    StringData* old = Record();
    if (old->refCount <= 1 && minCapacity <= old->capacity)
        return characters;
    const int32_t oldLength = old->length;
    AllocateData(minCapacity > oldLength ? minCapacity : oldLength);
    std::memcpy(characters, old->Characters(), static_cast<std::size_t>(oldLength) + 1);
    Record()->length = oldLength;
    ReleaseData(old);
    return characters;
}

void SharedString::CommitBuffer(int32_t newLength)
{
    MakeUnique();
    if (newLength == -1)
        newLength = PlatformTextLength(characters);
    assert(!IsEmptyStringData(Record()) && newLength >= 0 && newLength <= Record()->capacity);
    Record()->length = newLength;
    characters[newLength] = '\0';
}

void SharedString::Swap(SharedString& other) noexcept
{
    char* mine = characters;
    characters = other.characters;
    other.characters = mine;
}

void SharedString::AllocateData(int32_t n)
{
    assert(n >= 0);
    if (n == 0) {
        characters = EmptyCharacters();
        return;
    }
    const int sizeClass = SizeClassFor(n);
    void* memory;
    int32_t capacity;
    if (sizeClass != 0) {
        capacity = StringPoolCapacity(sizeClass);
        memory = StringPool(sizeClass).Allocate();
    } else {
        capacity = n;
        memory = ::operator new(AddSizes(sizeof(StringData), static_cast<std::size_t>(n) + 1));
    }
    StringData* record = new (memory) StringData{1, n, capacity};
    record->Characters()[n] = '\0';
    characters = record->Characters();
}

void SharedString::DisposeData(StringData* record)
{
    const int sizeClass = SizeClassOfCapacity(record->capacity);
    if (sizeClass != 0)
        StringPool(sizeClass).Deallocate(record);
    else
        ::operator delete(record);
}

void SharedString::ReleaseData(StringData* record)
{
    if (IsEmptyStringData(record))
        return;
    if (PlatformAtomicDecrement(&record->refCount) <= 0)
        DisposeData(record);
}

void SharedString::MakeUnique()
{
    StringData* old = Record();
    if (old->refCount <= 1)
        return;
    AllocateData(old->length);
    std::memcpy(characters, old->Characters(), static_cast<std::size_t>(old->length) + 1);
    ReleaseData(old);
}

void SharedString::AssignConcat(int32_t length1, const char* text1, int32_t length2, const char* text2)
{
    const int32_t total = AddLengths(length1, length2);
    if (total == 0)
        return;
    AllocateData(total);
    std::memcpy(characters, text1, static_cast<std::size_t>(length1));
    std::memcpy(characters + length1, text2, static_cast<std::size_t>(length2));
}

void SharedString::AppendChars(int32_t n, const char* text)
{
    if (n == 0)
        return;
    StringData* old = Record();
    if (old->refCount <= 1 && n <= old->capacity - old->length) {
        // memmove: the text may lie inside this very string.
        std::memmove(characters + old->length, text, static_cast<std::size_t>(n));
        old->length += n;
        characters[old->length] = '\0';
        return;
    }
    // The old record stays alive until the copy is done, so text may point into it.
    AssignConcat(old->length, old->Characters(), n, text);
    ReleaseData(old);
}
