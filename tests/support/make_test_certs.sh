#!/bin/sh
# make_test_certs.sh <folder>
# Makes the keys and certificates the HTTPS tests need, new for every run (none is kept in
# the repository):
#   ca.pem               the test CA that an HTTPS test client trusts
#   server.pem/.key      from that CA for localhost and 127.0.0.1, valid now
#   other-ca-server.pem  from another CA (other-ca.pem), for the same names
#   expired.pem          from the test CA, for the same names, expired in 2020
#   wrong-host.pem       from the test CA, for wrong-host and 127.0.0.2 only
# (Clients on Windows need the name: Schannel, as libcurl uses it with a CA file, matches no
# IP address in a certificate.)
#   server.pin           the pinned-key form of server.key: sha256//<base64>
# Every certificate but the CA's holds server.key's public key; keys are readable by their
# owner only.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
umask 077
rm -rf ca-db && mkdir ca-db && : >ca-db/index.txt && echo 01 >ca-db/serial
cat >ca.cnf <<'CONF'
[ca]
default_ca = test_ca
[test_ca]
database = ca-db/index.txt
new_certs_dir = ca-db
serial = ca-db/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $ENV::FENNICK_CERT_NAMES
CONF

new_key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
new_ca() {  # new_ca <name> <subject>
  new_key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign"
}
# sign <ca> <out> <names> <start> <end>: a certificate for server.key
sign() {
  openssl req -new -key server.key -subj "/CN=Fennick test server" -out request.csr
  FENNICK_CERT_NAMES=$3 openssl ca -batch -config ca.cnf -cert "$1.pem" -keyfile "$1.key" \
    -extensions server -startdate "$4" -enddate "$5" -notext -in request.csr -out "$2" 2>/dev/null
}

new_ca ca "Fennick test CA"
new_ca other-ca "Another test CA"
new_key server.key
from=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
until=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)
names="DNS:localhost,IP:127.0.0.1"
sign ca server.pem "$names" "$from" "$until"
sign other-ca other-ca-server.pem "$names" "$from" "$until"
sign ca expired.pem "$names" 20200101000000Z 20200102000000Z
sign ca wrong-host.pem "DNS:wrong-host,IP:127.0.0.2" "$from" "$until"
printf 'sha256//%s\n' "$(openssl pkey -in server.key -pubout -outform der |
  openssl dgst -sha256 -binary | openssl base64 -A)" >server.pin
rm -f request.csr
