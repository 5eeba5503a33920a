#!/usr/bin/env python3
"""Reference encrypted folders, built without any of our C++ code.

Each case takes a fixed stream of "random" bytes (SHA-256 in counter mode of
the case name) and spends it exactly as folder creation does: the 96 folder
key bytes, then per user the 256-byte name area, the 64-byte salt, IV-PV and
IV-EK. PBKDF2 comes from hashlib, the block ciphers from the openssl command,
the Ascii85 text and the database from this file and python's sqlite3.

    python3 tests/folder/tools/make_golden_folders.py tests/folder/engine/data/golden

writes <out>/cases.json and per case <name>/_QXCFG.MOX and <name>/random.bin.
The outputs are committed; tests never run this script.
"""

import hashlib
import json
import os
import sqlite3
import subprocess
import sys

KDF = {  # hash id: (hashlib name, iterations)
    0x10000: ("sha1", 2000),
    0x20000: ("ripemd160", 2000),
    0x1000000: ("sha1", 2000),
    0x2000000: ("sha256", 1000),
    0x4000000: ("sha512", 1000),
}

SCHEMA = [
    "CREATE TABLE IF NOT EXISTS Props ( PropId nvarchar(32) primary key, PropValue nvarchar(512) )",
    "INSERT OR REPLACE INTO Props values ( 'DbVersion', '1' )",
    "CREATE TABLE IF NOT EXISTS PropList ( PropId nvarchar(32), ValueId integer, PropValue nvarchar(512) )",
    "CREATE TABLE IF NOT EXISTS Groups ( GroupId integer primary key, DispName nvarchar(256), Perms integer, Required integer )",
    "INSERT OR REPLACE INTO Groups values ( 0, 'Default', 0, 1 )",
    "CREATE TABLE IF NOT EXISTS Keys ( KeyId nvarchar(50) primary key, KeyType integer, DispName nvarchar(256), Perms integer, GroupId integer, UserId nvarchar(512), SID nvarchar(256), KeySpec nvarchar(4096), EK nvarchar(4096), PV nvarchar(512), ModifyTime bigint )",
    "CREATE TABLE IF NOT EXISTS KeySettings ( KeyId nvarchar(50), PropId nvarchar(32), PropValue nvarchar(512) )",
    "CREATE TABLE IF NOT EXISTS Jobs ( JobId integer primary key, JobType integer, IsEncrypt integer )",
    "CREATE TABLE IF NOT EXISTS Folders ( FolderId integer primary key, JobId integer, Name nvarchar(256), FullPath nvarcher(1024), ParentFolderId integer )",
    "CREATE TABLE IF NOT EXISTS Files ( FileId integer primary key, FolderId integer, JobId integer, Name nvarchar(256), Size bigint, Hash nvarchar(128), IsEncrypted integer, IsCompressed integer, Completed integer, ErrorCode integer )",
    "CREATE TABLE IF NOT EXISTS Recovery ( CertFileName nvarchar(256) primary key, CreationTime bigint, FileSaved integer, RecMessage nvarchar(4096) )",
]

CASES = [
    {"name": "aes-sha256", "cipherId": 1, "users": [
        {"name": "alice", "displayName": "Alice Example", "password": "correct horse", "hashId": 0x2000000},
        {"name": "o'neil", "displayName": "Pat O'Neil", "password": "it's me", "hashId": 0x2000000}]},
    {"name": "tdes-sha1", "cipherId": 2, "users": [
        {"name": "bob", "displayName": "Bob", "password": "hunter2", "hashId": 0x10000}]},
    {"name": "aes-ripemd-sha512", "cipherId": 1, "users": [
        {"name": "carol", "displayName": "Carol", "password": "", "hashId": 0x20000},
        {"name": "dave", "displayName": "Dave", "password": "x" * 200, "hashId": 0x4000000}]},
]


def stream(seed, n):
    out = b""
    i = 0
    while len(out) < n:
        out += hashlib.sha256(seed.encode() + i.to_bytes(4, "big")).digest()
        i += 1
    return out[:n]


def openssl(cipher, key, data, iv=None):
    cmd = ["openssl", "enc", "-e", "-nopad", "-" + cipher, "-K", key.hex()]
    if iv is not None:
        cmd += ["-iv", iv.hex()]
    return subprocess.run(cmd, input=data, capture_output=True, check=True).stdout


def position_iv(pos, block):
    return (pos & 0xFFFFFFFF).to_bytes(4, "little") * (block // 4)


def encrypt_at_zero(cipher_id, key, data):
    """The sector scheme for a buffer of less than 512 bytes at position 0:
    CBC over the whole blocks with the position IV of 0, then the tail."""
    if cipher_id == 2:  # two-key Triple-DES
        k, block = key[:16], 8
    else:  # AES-256
        k, block = key[:32], 16
    whole = len(data) - len(data) % block
    out = b""
    if whole:
        cbc = "des-ede-cbc" if cipher_id == 2 else "aes-256-cbc"
        out = openssl(cbc, k, data[:whole], position_iv(0, block))
    tail = data[whole:]
    if tail:
        iv = position_iv(whole, block)
        if cipher_id == 2:  # CFB-8; K1 K2 K1 as a three-key schedule
            out += openssl("des-ede3-cfb8", k + k[:8], tail, iv)
        else:  # the encrypted position IV XORed onto the tail
            pad = openssl("aes-256-ecb", k, iv)
            out += bytes(a ^ b for a, b in zip(tail, pad))
    return out


def ascii85(data):
    """The stored text: apostrophes single, a line feed after every 160
    counted characters, '<~' counting two."""
    out = ["<~"]
    line = 2

    def put(c):
        nonlocal line
        out.append(c)
        if line >= 160:
            out.append("\n")
            line = 0
        else:
            line += 1

    def digits(value, count):
        d = []
        for _ in range(5):
            d.append(value % 85)
            value //= 85
        for x in list(reversed(d))[:count]:
            put(chr(33 + x))

    for i in range(0, len(data) - len(data) % 4, 4):
        v = int.from_bytes(data[i:i + 4], "big")
        if v == 0:
            put("z")
        else:
            digits(v, 5)
    rest = len(data) % 4
    if rest:
        v = int.from_bytes(data[len(data) - rest:] + b"\0" * (4 - rest), "big")
        digits(v, rest + 1)
    if line + 2 > 160:
        out.append("\n")
    out.append("~>")
    return "".join(out)


def field(data):
    return "%d;%s" % (len(data), ascii85(data))


def build(case, outdir):
    users = case["users"]
    rnd = stream("tessaro-golden-" + case["name"], 96 + 336 * len(users))
    folder_key = case["cipherId"].to_bytes(4, "little") + rnd[:96]
    pos = 96
    rows = []
    for n, u in enumerate(users):
        area = bytearray(rnd[pos:pos + 336])
        pos += 336
        name = u["name"].encode()
        area[:len(name) + 1] = name + b"\0"
        salt = bytes(area[256:320])
        hash_name, rounds = KDF[u["hashId"]]
        derived = hashlib.pbkdf2_hmac(hash_name, u["password"].encode()[:1023], salt, rounds, 96)
        ek = encrypt_at_zero(case["cipherId"], derived, folder_key)
        pv = encrypt_at_zero(case["cipherId"], derived, salt)
        key_id = "00000000-0000-4000-8000-%012X" % (n + 1)
        rows.append((key_id, 32, u["displayName"], 15, 0, u["name"], u["name"],
                     field(bytes(area)), field(ek), field(pv), 133000000000000000 + n))
    os.makedirs(os.path.join(outdir, case["name"]), exist_ok=True)
    with open(os.path.join(outdir, case["name"], "random.bin"), "wb") as f:
        f.write(rnd)
    path = os.path.join(outdir, case["name"], "_QXCFG.MOX")
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    db.execute("PRAGMA page_size=1024")
    for s in SCHEMA:
        db.execute(s)
    db.execute("INSERT INTO Props VALUES ('Created', 133000000000000000)")
    db.execute("INSERT INTO Props VALUES ('RecoveryID', '<~5sb4.<E)=~>')")
    db.execute("INSERT INTO Props VALUES ('VolumeID', '5D1B0C7E-2F43-4B8A-9C61-0E7A3F2B4D15')")
    db.executemany("INSERT INTO Keys VALUES (?,?,?,?,?,?,?,?,?,?,?)", rows)
    db.execute("INSERT INTO Props VALUES ('isLumenProtectionEnabled', 1)")
    db.commit()
    db.execute("VACUUM")
    db.close()
    return {"name": case["name"], "cipherId": case["cipherId"], "folderKey": folder_key.hex(),
            "users": users}


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else "tests/folder/engine/data/golden"
    os.makedirs(outdir, exist_ok=True)
    described = [build(c, outdir) for c in CASES]
    with open(os.path.join(outdir, "cases.json"), "w") as f:
        json.dump(described, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
