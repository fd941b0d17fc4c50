// Fake kernel-mode display driver (see FakeKmd.h). Runs on whichever thread
// the code under test calls the runtime callbacks on.
#include "FakeKmd.h"

#include <algorithm>
#include <cstring>

namespace fakes {

FakeKmd& FakeKmd::Instance()
{
    static FakeKmd s_kmd;
    return s_kmd;
}

void FakeKmd::Reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config = KmdAdapterConfig{};
    m_answers.clear();
    m_queries.clear();
    m_driverQueries.clear();
    m_escapes.clear();
    m_queryCount = 0;
    m_recording = true;
}

void FakeKmd::SetAdapter(const KmdAdapterConfig& config)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config = config;
}

void FakeKmd::SetAnswer(uint32_t command, const EscapeAnswer& answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[command] = answer;
}

void FakeKmd::SetRecording(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = on;
}

std::vector<RecordedQuery> FakeKmd::Queries()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queries;
}

std::vector<RecordedEscape> FakeKmd::Escapes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_escapes;
}

std::vector<HANDLE> FakeKmd::DriverQueries()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_driverQueries;
}

unsigned FakeKmd::QueryCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queryCount;
}

void WriteNameList(wchar_t (&dest)[brisel::kUmdNameListUnits], const std::vector<std::wstring>& names)
{
    std::size_t pos = 0;
    for (const std::wstring& name : names) {
        for (wchar_t c : name) {
            if (pos < brisel::kUmdNameListUnits) dest[pos++] = c;
        }
        if (pos < brisel::kUmdNameListUnits) dest[pos++] = L'\0';
    }
    if (pos < brisel::kUmdNameListUnits) dest[pos] = L'\0';
}

HRESULT APIENTRY FakeKmd::QueryAdapterInfoCb(HANDLE hAdapter, const D3DDDICB_QUERYADAPTERINFO* pArgs)
{
    FakeKmd& kmd = Instance();
    std::lock_guard<std::mutex> lock(kmd.m_mutex);
    if (!pArgs || !pArgs->pPrivateDriverData) return E_INVALIDARG;
    if (pArgs->PrivateDriverDataSize != brisel::kAdapterPrivateDataSize) {
        // The vendor driver's own capability block.
        if (kmd.m_recording) kmd.m_driverQueries.push_back(hAdapter);
        std::memset(pArgs->pPrivateDriverData, 0xCA, pArgs->PrivateDriverDataSize);
        return S_OK;
    }
    ++kmd.m_queryCount;
    auto* block = static_cast<brisel::AdapterPrivateData*>(pArgs->pPrivateDriverData);
    if (kmd.m_recording) kmd.m_queries.push_back({hAdapter, pArgs->PrivateDriverDataSize, *block});
    if (FAILED(kmd.m_config.queryResult)) return kmd.m_config.queryResult;

    const KmdAdapterConfig& c = kmd.m_config;
    block->vendorId = c.vendorId;
    block->osMajor = c.osMajor;
    block->osMinor = c.osMinor;
    block->firstProxySourceId = c.firstProxySourceId;
    block->fallbackMode = c.fallbackMode;
    WriteNameList(block->umdNames, c.umdNames);
    WriteNameList(block->umdNamesWow, c.umdNamesWow);
    if (!c.rawUmdNames.empty()) {
        std::size_t n = std::min(c.rawUmdNames.size(), brisel::kUmdNameListUnits);
        std::memcpy(block->umdNames, c.rawUmdNames.data(), n * sizeof(wchar_t));
    }
    return S_OK;
}

HRESULT APIENTRY FakeKmd::EscapeCb(HANDLE hAdapter, const D3DDDICB_ESCAPE* pArgs)
{
    FakeKmd& kmd = Instance();
    std::lock_guard<std::mutex> lock(kmd.m_mutex);
    if (!pArgs || !pArgs->pPrivateDriverData || pArgs->PrivateDriverDataSize < brisel::kEscapePacketSize)
        return E_INVALIDARG;
    RecordedEscape rec{hAdapter, pArgs->hDevice, pArgs->Flags, pArgs->PrivateDriverDataSize, pArgs->hContext, {}};
    std::memcpy(rec.sent.data(), pArgs->pPrivateDriverData, brisel::kEscapePacketSize);
    if (kmd.m_recording) kmd.m_escapes.push_back(rec);

    auto it = kmd.m_answers.find(rec.Command());
    if (it == kmd.m_answers.end()) return S_OK;
    if (FAILED(it->second.result)) return it->second.result;
    auto* bytes = static_cast<uint8_t*>(pArgs->pPrivateDriverData);
    for (const auto& [offset, value] : it->second.fields) {
        if (offset + 4 <= brisel::kEscapePacketSize) std::memcpy(bytes + offset, &value, 4);
    }
    return it->second.result;
}

}  // namespace fakes
