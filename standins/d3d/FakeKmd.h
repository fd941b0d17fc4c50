// Fake kernel-mode display driver behind the runtime's pfnQueryAdapterInfoCb
// and pfnEscapeCb: fills AdapterPrivateData from the test's choice (vendor id,
// OS version, first proxy source id, both name lists, fallback mode, or a raw
// list), answers the vendor driver's own queries (any other size) with its
// capabilities, and records and answers every escape packet with scripted
// answers.
// Lives in the test program; thread-safe (one mutex).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "KmdFormats.h"
#include "ddi/DdiCommon.h"

namespace fakes {

struct KmdAdapterConfig {
    uint32_t vendorId = 0x1002;
    uint32_t osMajor = 10;
    uint32_t osMinor = 0;
    uint32_t firstProxySourceId = 2;
    std::vector<std::wstring> umdNames;
    std::vector<std::wstring> umdNamesWow;
    uint8_t fallbackMode = 0;
    HRESULT queryResult = S_OK;
    // When set, copied verbatim (up to 1040 units) over umdNames instead of
    // building the list: lets a test send a list without its terminator.
    std::vector<wchar_t> rawUmdNames;
};

struct RecordedQuery {
    HANDLE hAdapter;
    uint32_t size;
    brisel::AdapterPrivateData sent;  // the block as Brisel sent it
};

struct RecordedEscape {
    HANDLE hAdapter;
    HANDLE hDevice;
    UINT flags;
    UINT size;
    HANDLE hContext;
    std::array<uint8_t, brisel::kEscapePacketSize> sent;  // the packet as Brisel sent it
    uint32_t Command() const { return U32(8); }
    uint32_t U32(std::size_t offset) const
    {
        uint32_t v;
        std::memcpy(&v, sent.data() + offset, 4);
        return v;
    }
    uint64_t U64(std::size_t offset) const
    {
        uint64_t v;
        std::memcpy(&v, sent.data() + offset, 8);
        return v;
    }
};

// What the driver answers to one command: the result, and u32 fields written
// into the packet at the given offsets when the result is a success.
struct EscapeAnswer {
    HRESULT result = S_OK;
    std::map<std::size_t, uint32_t> fields;
};

class FakeKmd {
public:
    static FakeKmd& Instance();

    void Reset();
    void SetAdapter(const KmdAdapterConfig& config);
    void SetAnswer(uint32_t command, const EscapeAnswer& answer);
    void SetRecording(bool on);

    std::vector<RecordedQuery> Queries();
    // Queries of the vendor driver's own private format (any other size):
    // the adapter handle each came with.
    std::vector<HANDLE> DriverQueries();
    std::vector<RecordedEscape> Escapes();
    unsigned QueryCount();

    // The runtime callbacks that reach this driver.
    static HRESULT APIENTRY QueryAdapterInfoCb(HANDLE hAdapter, const D3DDDICB_QUERYADAPTERINFO* pArgs);
    static HRESULT APIENTRY EscapeCb(HANDLE hAdapter, const D3DDDICB_ESCAPE* pArgs);

private:
    std::mutex m_mutex;
    KmdAdapterConfig m_config;
    std::map<uint32_t, EscapeAnswer> m_answers;
    std::vector<RecordedQuery> m_queries;
    std::vector<HANDLE> m_driverQueries;
    std::vector<RecordedEscape> m_escapes;
    unsigned m_queryCount = 0;
    bool m_recording = true;
};

// Builds a multi-string list: names one after the other, ended by an empty string.
void WriteNameList(wchar_t (&dest)[brisel::kUmdNameListUnits], const std::vector<std::wstring>& names);

}  // namespace fakes
