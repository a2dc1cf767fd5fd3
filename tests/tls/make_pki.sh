#!/bin/sh
# Makes a throwaway PKI in DIR for the TLS tests and the demo (P-256 keys):
#   ca.pem             the test CA (trusted through SSL_CERT_FILE or ca-file)
#   good.pem/.key      leaf for localhost, 127.0.0.1 and 127.0.0.2
#   expired.pem/.key   the same names, valid only in January 2020
#   wrong.pem/.key     leaf for another name only
#   self.pem/.key      self-signed, for localhost and 127.0.0.1
#   stranger.pem/.key  leaf for localhost signed by a CA nobody trusts
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
curve="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
names="subjectAltName=DNS:localhost,IP:127.0.0.1,IP:127.0.0.2"

ca() {  # NAME SUBJECT
    openssl req -x509 $curve -keyout "$1.key" -out "$1.pem" -days 30 -subj "$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
leaf() {  # NAME CA SUBJECT SAN
    openssl req $curve -keyout "$1.key" -out "$1.csr" -subj "$3" 2>/dev/null
    printf '%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$4" > "$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 30 \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}

ca ca "/CN=Quorvexia Test CA"
ca otherca "/CN=Nobody's CA"
leaf good ca "/CN=localhost" "$names"
leaf wrong ca "/CN=elsewhere.invalid" "subjectAltName=DNS:elsewhere.invalid"
leaf stranger otherca "/CN=localhost" "$names"
openssl req -x509 $curve -keyout self.key -out self.pem -days 30 -subj "/CN=localhost" \
    -addext "$names" 2>/dev/null

# x509 -req cannot back-date: the expired leaf comes from a minimal CA database.
mkdir -p db
: > db/index.txt
echo 01 > db/serial
cat > db/ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = db/index.txt
serial = db/serial
new_certs_dir = db
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = leaf
[any]
commonName = supplied
[leaf]
basicConstraints = CA:FALSE
$names
CNF
openssl req $curve -keyout expired.key -out expired.csr -subj "/CN=localhost" 2>/dev/null
openssl ca -batch -config db/ca.cnf -in expired.csr -out expired.pem -notext \
    -startdate 20200101000000Z -enddate 20200201000000Z 2>/dev/null
