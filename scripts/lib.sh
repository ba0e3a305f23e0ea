# Shared by the scripts: package installation and the build.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What building, testing and the demo need, from Debian 12's archive.
BASE_PACKAGES=(cmake ninja-build g++ pkg-config openssl ca-certificates libcurl4-openssl-dev libsodium-dev libzstd-dev
  qt6-base-dev qt6-base-dev-tools qt6-base-private-dev libgl-dev
  libqt6sql6-odbc libqt6sql6-psql unixodbc unixodbc-dev
  tdsodbc odbc-postgresql libsqliteodbc postgresql
  xvfb xauth x11-utils imagemagick fonts-dejavu-core fonts-liberation fonts-crosextra-carlito
  chromium)

# The proxy tests: a squid that asks for Basic (basic_ncsa_auth and a
# password file by htpasswd), NTLM (ntlm_fake_auth) and Negotiate
# (negotiate_kerberos_auth against a Kerberos realm of the test's own: a KDC,
# kadmin.local, kinit). The tests start their own squid on a free port and
# never use the system's.
PROXY_PACKAGES=(squid apache2-utils krb5-kdc krb5-admin-server krb5-user)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the packages that are not there yet; quick when all are.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# build DIR [cmake options...]
build() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}

# The database the stored-procedure tests run against: a local PostgreSQL 15
# cluster reached over ODBC ("PostgreSQL Unicode") on 127.0.0.1:5432, with
# the tool's own login sa / tr5kelvo and database Quorvel. Installs what is
# missing, creates and starts the cluster (its server runs as the postgres
# user), then creates the login and the database unless they exist. Safe to
# run again; returns non-zero when the login does not work at the end.
PG_VERSION=15
PG_PACKAGES=(postgresql "postgresql-$PG_VERSION" odbc-postgresql unixodbc libqt6sql6-odbc)

as_postgres() {
  (cd / && as_root runuser -u postgres -- "$@")
}

start_postgres() {
  ensure_packages "${PG_PACKAGES[@]}"
  if ! pg_lsclusters -h 2>/dev/null | awk -v v="$PG_VERSION" '$1 == v && $2 == "main"' | grep -q .; then
    as_root pg_createcluster "$PG_VERSION" main >/dev/null
  fi
  if ! pg_lsclusters -h | awk -v v="$PG_VERSION" '$1 == v && $2 == "main" {print $4}' | grep -q online; then
    as_root pg_ctlcluster "$PG_VERSION" main start
  fi
  local i
  for i in $(seq 1 30); do
    as_postgres pg_isready -q -p 5432 && break
    sleep 1
  done
  as_postgres psql -q -X -p 5432 -v ON_ERROR_STOP=1 -d postgres >/dev/null <<'SQL'
SELECT CASE WHEN EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'sa')
            THEN 'ALTER ROLE sa LOGIN PASSWORD ''tr5kelvo'''
            ELSE 'CREATE ROLE sa LOGIN PASSWORD ''tr5kelvo''' END \gexec
SELECT 'CREATE DATABASE "Quorvel" OWNER sa'
 WHERE NOT EXISTS (SELECT 1 FROM pg_database WHERE datname = 'Quorvel') \gexec
SQL
  # Password logins over TCP on the loopback address (Debian's default
  # rules allow them; a cluster set up otherwise gets one rule for sa).
  if ! PGPASSWORD=tr5kelvo psql -q -X -h 127.0.0.1 -p 5432 -U sa -d Quorvel -c 'SELECT 1' >/dev/null 2>&1; then
    local hba
    hba="$(as_postgres psql -X -tA -p 5432 -d postgres -c 'SHOW hba_file')"
    as_root sed -i '1i host Quorvel sa 127.0.0.1/32 scram-sha-256' "$hba"
    as_postgres psql -q -X -p 5432 -d postgres -c 'SELECT pg_reload_conf()' >/dev/null
    sleep 1
  fi
  PGPASSWORD=tr5kelvo psql -q -X -h 127.0.0.1 -p 5432 -U sa -d Quorvel -c 'SELECT 1' >/dev/null
}

# The benchmarks page, docs/benchmarks.md, is the one place figures are
# kept. Each script owns sections of it ("## HEADING" to the next "## ") and
# replaces them where they stand; what it does not own stays as it is.
BENCH_PAGE="$ROOT/docs/benchmarks.md"
# bench_section HEADING: the section's lines below its heading, on stdout.
bench_section() {
  [ -f "$BENCH_PAGE" ] || return 0
  awk -v h="## $1" '$0 == h { on = 1; next } on && /^## / { on = 0 } on { print }' "$BENCH_PAGE"
}
# bench_write_section HEADING FILE: the section becomes FILE (its heading
# line included), in its place on the page, or at the page's end when the
# page has none yet.
bench_write_section() {
  if ! grep -qxF "## $1" "$BENCH_PAGE" 2>/dev/null; then
    { [ ! -s "$BENCH_PAGE" ] || { cat "$BENCH_PAGE"; echo; }; cat "$2"; } > "$BENCH_PAGE.new"
  else
    awk -v h="## $1" -v f="$2" '
      $0 == h { while ((getline line < f) > 0) print line; print ""; skip = 1; next }
      skip && /^## / { skip = 0 }
      !skip { print }' "$BENCH_PAGE" | cat -s | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' > "$BENCH_PAGE.new"
  fi
  mv "$BENCH_PAGE.new" "$BENCH_PAGE"
}
# bench_write_head FILE: the page's head (its title and the table of
# figures, to the first "## ") becomes FILE; the sections stay.
bench_write_head() {
  { cat "$1"; echo; [ ! -f "$BENCH_PAGE" ] || sed -n '/^## /,$p' "$BENCH_PAGE"; } > "$BENCH_PAGE.new"
  mv "$BENCH_PAGE.new" "$BENCH_PAGE"
}
