# Shared by the end-to-end scripts (sourced after common.sh): an HTTPS server on 127.0.0.1 for
# one run, nginx with a certificate authority made for the run.

# Whether something listens on TCP port $1 (LISTEN sockets from /proc/net/tcp).
port_in_use() {
  local hex
  hex=$(printf ':%04X' "$1")
  awk -v p="$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# Prints a TCP port on 127.0.0.1 that nothing listens on; the one kept in file $1 (when given
# and free) first, so that builds with the port compiled in stay current.
pick_port() {
  local keep=${1:-} port
  if [ -n "$keep" ] && [ -f "$keep" ]; then
    port=$(cat "$keep")
    port_in_use "$port" || { echo "$port"; return; }
  fi
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" || { echo "$port"; return; }
  done
  die "no free port on 127.0.0.1"
}

# make_certificates CA_DIR SERVER_DIR
# A certificate authority (CA_DIR/ca.pem, ca.key) and a certificate it signed for 127.0.0.1
# and localhost (SERVER_DIR/server.pem, server.key), valid for two days.
make_certificates() {
  local ca=$1 server=$2
  mkdir -p "$ca" "$server"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Sparkler test CA" \
    -keyout "$ca/ca.key" -out "$ca/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$server/server.key" -out "$server/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >"$server/san.ext"
  openssl x509 -req -in "$server/server.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" \
    -CAcreateserial -days 2 -extfile "$server/san.ext" -out "$server/server.pem" 2>/dev/null
}

# start_nginx DIR PORT WWW
# Serves WWW over HTTPS at 127.0.0.1:PORT with DIR/server.pem and server.key (make_certificates),
# keeping its configuration, logs and temporary files in DIR. Adds its process to the caller's
# `pids` array, whose clean-up stops it (kill, then wait), before waiting up to 10 seconds for
# it to listen.
start_nginx() {
  local dir=$1 port=$2 www=$3
  cat >"$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/client_body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  types { application/json json; application/octet-stream dmg; }
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $dir/server.pem;
    ssl_certificate_key $dir/server.key;
    root $www;
  }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" -e "$dir/error.log" &
  pids+=($!)
  wait_for 10 port_in_use "$port" || die "nginx did not start (see $dir/error.log)"
}
