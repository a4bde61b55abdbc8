#!/usr/bin/env bash
# Makes the certificates of the HTTPS tests in one build folder (never the machine's trust store):
#   ca.pem/ca.der         the test CA, which the tests add to their Wine prefix's Root store
#   localhost.pem/.key    DNS:localhost, signed by the test CA (the good server)
#   other-name.pem/.key   DNS:parly-other.invalid, signed by the test CA (a name mismatch)
#   stranger.pem/.key     DNS:localhost, signed by a CA nobody trusts
#   proxied.pem/.key      made-up provider names reached only through the test proxy, signed by the test CA
set -eu
out="$1"
mkdir -p "$out"
cd "$out"
[ -s proxied.pem ] && [ -s ca.der ] && exit 0
days=3650
ossl() { openssl "$@" 2>/dev/null; }
make_ca() {  # name
  ossl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days $days \
    -subj "/CN=Parly Plugin $1 test CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign"
}
make_leaf() {  # name dns ca [more dns names]
  ossl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$2"
  local names="DNS:$2" more
  for more in "${@:4}"; do names="$names,DNS:$more"; done
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$names" > "$1.ext"
  ossl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -out "$1.pem" -days $days \
    -extfile "$1.ext"
  rm -f "$1.csr" "$1.ext"
}
make_ca ca
make_ca stranger-ca
make_leaf localhost localhost ca
make_leaf other-name parly-other.invalid ca
make_leaf stranger localhost stranger-ca
make_leaf proxied openai.parly.test ca claude.parly.test
openssl x509 -in ca.pem -outform DER -out ca.der
echo "test certificates in $out"
