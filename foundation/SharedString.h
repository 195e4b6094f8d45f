// SharedString: the program's narrow (ANSI code page) text. One pointer to NUL-terminated
// characters, preceded by their record header, so the text goes to any platform call as it is.
//
// Invariants:
//  - the pointer is never null; a new string points at EmptyStringData's characters;
//  - after every operation characters[length] is NUL and 0 <= length <= capacity;
//  - a record with refCount above 1 is shared and never written;
//  - EmptyStringData is recognised by its address, never freed, counted or written;
//  - a record of capacity 64, 128, 256 or 512 is a block of string pool 1 to 4; any other
//    record came from the heap as header + capacity + 1 bytes;
//  - emptiness is judged by length, never by the pointer;
//  - an operation that raises leaves the string pointing at its old record, text unchanged.
#pragma once

#include <cstdint>

/// The record header, immediately followed by capacity + 1 characters.
struct StringData {
    int32_t refCount; ///< strings pointing here; 1 fresh, -1 only in EmptyStringData
    int32_t length;   ///< characters in use, NUL not counted
    int32_t capacity; ///< characters that fit, NUL not counted

    char* Characters() { return reinterpret_cast<char*>(this + 1); }
    const char* Characters() const { return reinterpret_cast<const char*>(this + 1); }
};
static_assert(sizeof(StringData) == 12, "three signed 32-bit fields, then the characters");

/// The one static record every empty string shares; it lives in read-only memory.
struct EmptyStringRecord {
    StringData header;
    char terminator;
};
extern const EmptyStringRecord EmptyStringData;

class SharedString {
public:
    SharedString() noexcept;
    ~SharedString();
    // The program never copies a string; sharing a record would need an atomic increment too.
    SharedString(const SharedString&) = delete;
    SharedString& operator=(const SharedString&) = delete;

    int32_t Length() const { return Data()->length; }
    /// The NUL-terminated text, valid until the next modifying operation.
    const char* Text() const { return characters; }
    /// The record header, for callers that need its capacity or count.
    const StringData* Data() const { return reinterpret_cast<const StringData*>(characters) - 1; }

    /// Appends a NUL-terminated text; null appends nothing. The text may point into this string.
    SharedString& Append(const char* text);

    /// A writable area private to this string with room for minCapacity characters and a NUL;
    /// the current text (and its NUL) is kept at its start.
    /// Pre: minCapacity >= 1.
    char* ReserveBuffer(int32_t minCapacity);

    /// Fixes the length after writing into the reserved area; -1 measures up to the first NUL.
    /// Pre: ReserveBuffer has just prepared this string; newLength is -1 or in [0, capacity].
    void CommitBuffer(int32_t newLength);

    /// Exchanges the records of two strings; never allocates.
    void Swap(SharedString& other) noexcept;

private:
    StringData* Record() { return reinterpret_cast<StringData*>(characters) - 1; }

    /// Points at a fresh record for n characters (n = 0: EmptyStringData), length n, NUL at n.
    /// Does not release the old record. Pre: n >= 0.
    void AllocateData(int32_t n);
    static void DisposeData(StringData* record);
    static void ReleaseData(StringData* record);
    void MakeUnique();
    void AssignConcat(int32_t length1, const char* text1, int32_t length2, const char* text2);
    void AppendChars(int32_t n, const char* text);

    char* characters;
};
