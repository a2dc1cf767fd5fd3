// The dial-up provider's interface: its records in their published sizes, the
// constants korv and korvcfg compare, and the types of the eight entry points
// that a provider library (librasapi32.so) exports with C linkage. Korv,
// korvcfg and every provider include this one header, so a record that
// changes size breaks the build rather than the call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvexia::ras {

using DWORD = std::uint32_t;
using HRASCONN = std::uint32_t;  // handles are 32-bit values; 0 is "none"

inline constexpr DWORD RASCS_Connected = 0x2000;
inline constexpr DWORD RASCS_Disconnected = 0x2001;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BUFFER_TOO_SMALL = 603;

inline constexpr std::size_t RAS_MaxEntryName = 256;
inline constexpr std::size_t RAS_MaxDeviceType = 16;
inline constexpr std::size_t RAS_MaxDeviceName = 128;
inline constexpr std::size_t RAS_MaxPhoneNumber = 128;
inline constexpr std::size_t RAS_MaxCallbackNumber = 128;
inline constexpr std::size_t UNLEN = 256;
inline constexpr std::size_t PWLEN = 256;
inline constexpr std::size_t DNLEN = 15;

struct RASCONNA {
    DWORD dwSize;
    HRASCONN hrasconn;
    char szEntryName[RAS_MaxEntryName + 1];
    char szDeviceType[RAS_MaxDeviceType + 1];
    char szDeviceName[RAS_MaxDeviceName + 1];
};

struct RASCONNSTATUSA {
    DWORD dwSize;
    DWORD rasconnstate;
    DWORD dwError;
    char szDeviceType[RAS_MaxDeviceType + 1];
    char szDeviceName[RAS_MaxDeviceName + 1];
};

struct RASDIALPARAMSA {
    DWORD dwSize;
    char szEntryName[RAS_MaxEntryName + 1];
    char szPhoneNumber[RAS_MaxPhoneNumber + 1];
    char szCallbackNumber[RAS_MaxCallbackNumber + 1];
    char szUserName[UNLEN + 1];
    char szPassword[PWLEN + 1];
    char szDomain[DNLEN + 1];
};

struct RASENTRYNAMEA {
    DWORD dwSize;
    char szEntryName[RAS_MaxEntryName + 1];
};

static_assert(sizeof(RASCONNA) == 412);
static_assert(sizeof(RASCONNSTATUSA) == 160);
static_assert(sizeof(RASDIALPARAMSA) == 1052);
static_assert(sizeof(RASENTRYNAMEA) == 264);
static_assert(offsetof(RASCONNA, szEntryName) == 8);
static_assert(offsetof(RASCONNSTATUSA, szDeviceType) == 12);
static_assert(offsetof(RASDIALPARAMSA, szDomain) == 1033);

// The entry points, looked up by these names.
extern "C" {
using RasEnumConnectionsA_t = DWORD(RASCONNA* connections, DWORD* byteSize, DWORD* count);
using RasGetConnectStatusA_t = DWORD(HRASCONN connection, RASCONNSTATUSA* status);
using RasDialA_t = DWORD(void* extensions, const char* phonebook, RASDIALPARAMSA* params,
                         DWORD notifierType, void* notifier, HRASCONN* connection);
using RasGetErrorStringA_t = DWORD(unsigned code, char* text, DWORD size);
using RasHangUpA_t = DWORD(HRASCONN connection);
using RasEnumEntriesA_t = DWORD(const char* reserved, const char* phonebook, RASENTRYNAMEA* entries,
                                DWORD* byteSize, DWORD* count);
using RasCreatePhonebookEntryA_t = DWORD(void* ownerWindow, const char* phonebook);
using RasEditPhonebookEntryA_t = DWORD(void* ownerWindow, const char* phonebook, const char* entryName);
}

}  // namespace quorvexia::ras
