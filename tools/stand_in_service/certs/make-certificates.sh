#!/usr/bin/env bash
# Makes the stand-in service's test certificates in the current folder. Run once; the results are committed.
#   ca.pem                      the test CA that test processes trust
#   service.pem/.key            kelvara.com and www.kelvara.com, signed by that CA
#   wrong-host.pem/.key         other.example, signed by that CA
#   untrusted.pem/.key          kelvara.com, signed by a second CA that nobody trusts
# Validity runs from 2000 to the end of 2126, so that a machine whose clock is behind still accepts them.
# Both CA keys are deleted at the end: nobody can sign anything else with these CAs.
set -euo pipefail

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/ca.cnf" <<'EOF'
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = issued
serial = serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
dates=(-startdate 20000101000000Z -enddate 21261231235959Z)
out=$(pwd)

make_ca() { # folder, common name
    mkdir -p "$work/$1/issued"
    touch "$work/$1/index.txt"
    echo 01 >"$work/$1/serial"
    openssl req -new -newkey rsa:2048 -nodes -keyout "$work/$1/ca.key" -subj "/CN=$2" -out "$work/$1/ca.csr"
    (cd "$work/$1" && openssl ca -batch -config ../ca.cnf -selfsign -keyfile ca.key -in ca.csr -extensions ca_ext \
        "${dates[@]}" -notext -out ca.pem)
}

make_leaf() { # CA folder, file name, common name, subject alternative names
    openssl req -new -newkey rsa:2048 -nodes -keyout "$out/$2.key" -subj "/CN=$3" -addext "subjectAltName=$4" \
        -out "$work/$2.csr"
    (cd "$work/$1" && openssl ca -batch -config ../ca.cnf -cert ca.pem -keyfile ca.key -in "../$2.csr" \
        -extensions leaf_ext "${dates[@]}" -notext -out "$out/$2.pem")
}

make_ca trusted "Kelvara stand-in test CA"
make_ca nobody "Untrusted test CA"
make_leaf trusted service kelvara.com "DNS:kelvara.com,DNS:www.kelvara.com"
make_leaf trusted wrong-host other.example "DNS:other.example"
make_leaf nobody untrusted kelvara.com "DNS:kelvara.com,DNS:www.kelvara.com"
cp "$work/trusted/ca.pem" "$out/ca.pem"
