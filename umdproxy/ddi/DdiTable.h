// Indexed function tables of the user-mode driver interface.
//
// The interface's function and callback tables are long structures of
// function pointers whose length depends on the runtime's version. Brisel
// copies them by byte count and replaces single entries, so it addresses them
// as arrays through named entry indices (declared next to each table) rather
// than through hundreds of member names. Thread-neutral.
#pragma once

#include <cstddef>
#include <cstring>

// Any entry of a table; the typed view comes from DdiTableGet/DdiTableSet.
using DdiProc = void (*)();

// A procedure found by name (GetProcAddress) seen as the entry type the
// caller knows it to be.
template <class Fn, class Proc>
inline Fn ProcAs(Proc proc)
{
    return reinterpret_cast<Fn>(reinterpret_cast<DdiProc>(proc));
}

template <std::size_t N>
struct DdiTable {
    static constexpr std::size_t kEntries = N;
    DdiProc entries[N];
};

// Typed read of one entry. The caller names the entry's function type.
template <class Fn, std::size_t N>
inline Fn DdiTableGet(const DdiTable<N>& table, unsigned index)
{
    return index < N ? reinterpret_cast<Fn>(table.entries[index]) : nullptr;
}

template <class Fn, std::size_t N>
inline void DdiTableSet(DdiTable<N>& table, unsigned index, Fn fn)
{
    if (index < N) table.entries[index] = reinterpret_cast<DdiProc>(fn);
}

// Entry read from a table the runtime or a real driver owns and of which only
// `bytes` are valid (a table of an older interface is shorter).
template <class Fn>
inline Fn DdiRawGet(const void* table, std::size_t bytes, unsigned index)
{
    if (table == nullptr || (index + 1) * sizeof(DdiProc) > bytes) return nullptr;
    DdiProc entry;
    std::memcpy(&entry, static_cast<const unsigned char*>(table) + index * sizeof(DdiProc), sizeof entry);
    return reinterpret_cast<Fn>(entry);
}

template <class Fn>
inline void DdiRawSet(void* table, std::size_t bytes, unsigned index, Fn fn)
{
    if (table == nullptr || (index + 1) * sizeof(DdiProc) > bytes) return;
    DdiProc entry = reinterpret_cast<DdiProc>(fn);
    std::memcpy(static_cast<unsigned char*>(table) + index * sizeof(DdiProc), &entry, sizeof entry);
}
