#!/usr/bin/env python3
"""Writes the built-in table of trusted TLS root certificates.

Reads the PEM roots that Debian's ca-certificates package installs, picks the
roots the TLS client trusts (TRUSTED_ROOTS below, in table order) and writes
rtc_base/sslroots.h and rtc_base/sslroots.cc: the DER blobs back to back in one
constant block, with kSSLCertCertificateList / kSSLCertCertificateSizeList
pointing into it.

Roots that the package no longer ships (withdrawn by their authority or by the
root programme) are left out and listed on standard output. The output is
committed, so the build needs neither this script nor the package.

Usage: tools/gen_root_certs.py [--certs-dir DIR] [--out-dir DIR]
Needs python3 (standard library) and the openssl command line, which reads the
subjects.
"""

import argparse
import base64
import hashlib
import os
import subprocess
import sys

# The roots the client trusts, in table order. Each is matched by its subject:
# its common name, or where the subject has none (or only the authority's bare
# brand), by an organisational unit. `extra` lists further attributes the
# subject must have, where the name alone is ambiguous between issues of a root.
TRUSTED_ROOTS = [
    {"CN": "GlobalSign Root CA"},
    {"CN": "USERTrust RSA Certification Authority"},
    {"OU": "Starfield Class 2 Certification Authority"},
    {"CN": "VeriSign Class 3 Public Primary Certification Authority - G3"},
    {"CN": "USERTrust ECC Certification Authority"},
    {"CN": "GeoTrust Global CA"},
    {"CN": "Starfield Root Certificate Authority - G2"},
    {"CN": "DigiCert Global Root G3"},
    {"CN": "thawte Primary Root CA - G2"},
    {"CN": "VeriSign Universal Root Certification Authority"},
    {"CN": "VeriSign Class 3 Public Primary Certification Authority - G4"},
    {"CN": "DigiCert Global Root G2"},
    {"CN": "AddTrust Class 1 CA Root"},
    {"CN": "AffirmTrust Premium ECC"},
    {"CN": "VeriSign Class 4 Public Primary Certification Authority - G3"},
    {"CN": "thawte Primary Root CA"},
    {"CN": "AddTrust Public CA Root"},
    {"CN": "AddTrust Qualified CA Root"},
    {"CN": "GeoTrust Primary Certification Authority - G3"},
    {"CN": "GeoTrust Universal CA 2"},
    {"CN": "Baltimore CyberTrust Root"},
    {"CN": "GlobalSign", "OU": "GlobalSign Root CA - R2"},
    {"CN": "GlobalSign", "OU": "GlobalSign Root CA - R3"},
    {"CN": "AffirmTrust Networking"},
    {"CN": "AddTrust External CA Root"},
    {"CN": "thawte Primary Root CA - G3"},
    {"CN": "DigiCert Assured ID Root CA"},
    {"OU": "Go Daddy Class 2 Certification Authority"},
    {"CN": "GeoTrust Primary Certification Authority"},
    {"CN": "VeriSign Class 3 Public Primary Certification Authority - G5"},
    {"OU": "Equifax Secure Certificate Authority"},
    {"CN": "Entrust.net Certification Authority (2048)",
     "extra": {"OU": "(c) 1999 Entrust.net Limited"}},
    {"CN": "DigiCert Assured ID Root G3"},
    {"CN": "COMODO Certification Authority"},
    {"CN": "DigiCert Global Root CA"},
    {"CN": "AAA Certificate Services"},
    {"CN": "DigiCert High Assurance EV Root CA"},
    {"CN": "GeoTrust Universal CA"},
    {"CN": "COMODO ECC Certification Authority"},
    {"CN": "Entrust Root Certification Authority - G2"},
    {"CN": "DigiCert Assured ID Root G2"},
    {"CN": "AffirmTrust Commercial"},
    {"CN": "AffirmTrust Premium"},
    {"CN": "Go Daddy Root Certificate Authority - G2"},
    {"CN": "Secure Certificate Services"},
    {"CN": "DigiCert Trusted Root G4"},
    {"CN": "GlobalSign", "OU": "GlobalSign ECC Root CA - R5"},
    {"CN": "UTN-USERFirst-Hardware"},
    {"CN": "GlobalSign", "OU": "GlobalSign ECC Root CA - R4"},
    {"CN": "TC TrustCenter Universal CA I"},
    {"CN": "Trusted Certificate Services"},
    {"CN": "Entrust Root Certification Authority"},
    {"CN": "TC TrustCenter Class 2 CA II"},
    {"CN": "Cybertrust Global Root"},
    {"CN": "Entrust Root Certification Authority - EC1"},
    {"CN": "GeoTrust Primary Certification Authority - G2"},
    {"CN": "GeoTrust Global CA 2"},
    {"CN": "COMODO RSA Certification Authority"},
    {"CN": "UTN - DATACorp SGC"},
]

ATTR_NAMES = {
    "commonName": "CN",
    "organizationalUnitName": "OU",
    "organizationName": "O",
    "countryName": "C",
}

BYTES_PER_LINE = 12


def describe(entry):
    """The name a root is listed by: its common name, or its unit."""
    if "OU" in entry:
        return entry["OU"]
    return entry["CN"]


def pem_to_der(path):
    with open(path, "r", encoding="ascii") as f:
        text = f.read()
    begin = "-----BEGIN CERTIFICATE-----"
    end = "-----END CERTIFICATE-----"
    if text.count(begin) != 1 or text.count(end) != 1:
        raise ValueError(f"{path}: expected exactly one certificate")
    body = text.split(begin, 1)[1].split(end, 1)[0]
    return base64.b64decode("".join(body.split()), validate=True)


def read_names(path):
    """Subject and issuer of a certificate as lists of (attribute, value)."""
    out = subprocess.run(
        ["openssl", "x509", "-in", path, "-noout", "-subject", "-issuer",
         "-nameopt", "multiline,utf8,-esc_msb"],
        check=True, capture_output=True, text=True).stdout
    names = {}
    current = None
    for line in out.splitlines():
        if not line.startswith(" "):
            current = line.rstrip("=").strip()
            names[current] = []
            continue
        key, _, value = line.strip().partition(" = ")
        names[current].append((ATTR_NAMES.get(key.strip(), key.strip()), value.strip()))
    return names["subject"], names["issuer"]


def matches(entry, subject):
    cns = [v for k, v in subject if k == "CN"]
    ous = [v for k, v in subject if k == "OU"]
    if "CN" in entry:
        if cns != [entry["CN"]]:
            return False
    elif cns:
        # Listed by unit because the subject has no common name.
        return False
    if "OU" in entry and entry["OU"] not in ous:
        return False
    for k, v in entry.get("extra", {}).items():
        if v not in [value for key, value in subject if key == k]:
            return False
    return True


def package_version():
    try:
        return subprocess.run(
            ["dpkg-query", "-W", "-f", "${Version}", "ca-certificates"],
            check=True, capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def c_comment(text):
    return text.replace("*/", "* /")


def write_outputs(out_dir, roots, version):
    header_note = (
        "// Generated by tools/gen_root_certs.py from Debian's ca-certificates "
        f"{version}.\n// Do not edit: run the script again instead.\n")
    count = len(roots)
    header = f"""{header_note}
#ifndef RTC_BASE_SSLROOTS_H_
#define RTC_BASE_SSLROOTS_H_

#include <cstddef>

// The trust anchors of the TLS client: self-signed roots of public certificate
// authorities, DER-encoded, in table order. The platform's trust store is never
// consulted. Some roots may have passed the end of their validity period; they
// are loaded all the same.
constexpr size_t kSSLCertCertificateCount = {count};
extern const unsigned char* const kSSLCertCertificateList[kSSLCertCertificateCount];
extern const size_t kSSLCertCertificateSizeList[kSSLCertCertificateCount];

#endif  // RTC_BASE_SSLROOTS_H_
"""
    lines = [header_note, '#include "rtc_base/sslroots.h"\n', "\nnamespace {\n\n"]
    lines.append("// clang-format off\n")
    lines.append("const unsigned char kSSLCertBlock[] = {\n")
    offsets = []
    offset = 0
    for index, (entry, path, der) in enumerate(roots):
        offsets.append(offset)
        offset += len(der)
        fingerprint = hashlib.sha256(der).hexdigest()
        lines.append(f"    // {index}: {c_comment(describe(entry))}\n")
        lines.append(f"    // {os.path.basename(path)}, {len(der)} bytes, SHA-256 {fingerprint}\n")
        for start in range(0, len(der), BYTES_PER_LINE):
            chunk = der[start:start + BYTES_PER_LINE]
            lines.append("    " + " ".join(f"0x{b:02x}," for b in chunk) + "\n")
    lines.append("};\n")
    lines.append("\n}  // namespace\n\n")
    lines.append("const unsigned char* const kSSLCertCertificateList[kSSLCertCertificateCount] = {\n")
    for index, start in enumerate(offsets):
        lines.append(f"    kSSLCertBlock + {start},  // {index}\n")
    lines.append("};\n\n")
    lines.append("const size_t kSSLCertCertificateSizeList[kSSLCertCertificateCount] = {\n")
    for index, (_, _, der) in enumerate(roots):
        lines.append(f"    {len(der)},  // {index}\n")
    lines.append("};\n// clang-format on\n")

    with open(os.path.join(out_dir, "sslroots.h"), "w", encoding="utf-8") as f:
        f.write(header)
    with open(os.path.join(out_dir, "sslroots.cc"), "w", encoding="utf-8") as f:
        f.write("".join(lines))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--certs-dir", default="/usr/share/ca-certificates/mozilla")
    parser.add_argument("--out-dir", default=os.path.join(here, "..", "rtc_base"))
    args = parser.parse_args()

    candidates = []
    for name in sorted(os.listdir(args.certs_dir)):
        if not name.endswith(".crt"):
            continue
        path = os.path.join(args.certs_dir, name)
        subject, issuer = read_names(path)
        candidates.append((path, subject, issuer))

    roots = []
    missing = []
    for entry in TRUSTED_ROOTS:
        found = [c for c in candidates if matches(entry, c[1])]
        if len(found) > 1:
            sys.exit(f"ambiguous root {describe(entry)!r}: "
                     + ", ".join(os.path.basename(c[0]) for c in found))
        if not found:
            missing.append(describe(entry))
            continue
        path, subject, issuer = found[0]
        if subject != issuer:
            sys.exit(f"{path}: not self-signed")
        roots.append((entry, path, pem_to_der(path)))

    if not roots:
        sys.exit("no trusted root found; refusing to write an empty table")
    write_outputs(args.out_dir, roots, package_version())

    total = sum(len(der) for _, _, der in roots)
    print(f"table: {len(roots)} roots, {total} bytes")
    for index, (entry, path, der) in enumerate(roots):
        print(f"  {index:2}: {describe(entry)} ({os.path.basename(path)}, {len(der)} bytes)")
    print(f"not shipped: {len(missing)}")
    for name in missing:
        print(f"  - {name}")


if __name__ == "__main__":
    main()
