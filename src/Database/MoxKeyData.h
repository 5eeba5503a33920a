#pragma once
// One key record: a row of the Keys table. The wrapped folder key (EK), the
// password verifier (PV) and the record's parameters (KeySpec) are held as
// decoded bytes; the database stores each as "<length>;<Ascii85 text>".

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Fixed field sizes of a record, in characters or bytes.
inline constexpr size_t kMoxKeyIdSize = 64;
inline constexpr size_t kMoxNameSize = 256;
inline constexpr size_t kMoxBlobSize = 4096;
inline constexpr size_t kMoxPvBlobSize = 512;

// Key kinds of the KeyType column.
inline constexpr uint32_t kMoxKeyTypePassword = 1;       // no user name
inline constexpr uint32_t kMoxKeyTypeUserPassword = 32;  // named user

// Exact byte lengths of a password record's blobs.
inline constexpr uint32_t kMoxKeySpecLength = 336;
inline constexpr uint32_t kMoxWrappedKeyLength = 100;
inline constexpr uint32_t kMoxVerifierLength = 64;

template <size_t N>
struct MoxKeyBlob {
    uint32_t length = 0;
    uint8_t data[N] = {};
};

// A KeySettings row of one key.
struct MoxKeyParam {
    char PropId[kMoxNameSize] = {};
    std::string PropValue;
};

struct MoxKeyData {
    char KeyId[kMoxKeyIdSize] = {};
    uint32_t KeyType = 0;
    char DispName[kMoxNameSize] = {};
    uint32_t Perms = 0;
    uint32_t GroupId = 0;
    char UserId[kMoxNameSize] = {};
    char Sid[kMoxNameSize] = {};
    MoxKeyBlob<kMoxBlobSize> KeySpec;
    MoxKeyBlob<kMoxBlobSize> EK;
    MoxKeyBlob<kMoxPvBlobSize> PV;
    int64_t ModifyTime = 0;              // FILETIME of the last write
    std::vector<MoxKeyParam*> settings;  // owned

    MoxKeyData() = default;
    ~MoxKeyData();
    MoxKeyData(const MoxKeyData&) = delete;
    MoxKeyData& operator=(const MoxKeyData&) = delete;

    // Clears the record for reuse; the settings vector keeps its storage.
    void Dispose();

    // Bounded, NUL-terminated copy into one of the text fields.
    template <size_t N>
    static void SetText(char (&field)[N], const char* text) {
        size_t i = 0;
        if (text)
            for (; i + 1 < N && text[i]; ++i) field[i] = text[i];
        for (; i < N; ++i) field[i] = 0;
    }
};
