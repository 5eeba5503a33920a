#include "Database/MoxKeyData.h"

#include <cstring>

MoxKeyData::~MoxKeyData() {
    Dispose();
}

void MoxKeyData::Dispose() {
    // The blobs hold wrapped key material: wipe rather than just clear.
    explicit_bzero(KeyId, sizeof KeyId);
    explicit_bzero(DispName, sizeof DispName);
    explicit_bzero(UserId, sizeof UserId);
    explicit_bzero(Sid, sizeof Sid);
    explicit_bzero(&KeySpec, sizeof KeySpec);
    explicit_bzero(&EK, sizeof EK);
    explicit_bzero(&PV, sizeof PV);
    KeyType = 0;
    Perms = 0;
    GroupId = 0;
    ModifyTime = 0;
    for (MoxKeyParam* p : settings) delete p;
    settings.clear();
}
