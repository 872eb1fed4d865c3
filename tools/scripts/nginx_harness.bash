# shellcheck disable=SC2154 # root, work and server_program come from the script that sources this

# Shared by scripts/test-nginx and scripts/bench-nginx: server nodes on loopback and Debian's nginx in front
# of them with deploy/nginx-ks-inference.conf. Source it after setting `root` and `work` and sourcing
# remote_run_harness.bash; it only defines things. The caller stops everything with nginx_stop_all.

node_pids=()
node_ports=()
nginx_pid=""
proxy=""
redis_pid=""
redis_port=""
# Options every node gets (the shared store, once nginx_start_redis has run).
node_options=()

nginx_free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# nginx_start_redis: Debian's redis-server on a free loopback port, nothing saved to disk; every node
# started after it shares sessions through it and through $work/networks.
nginx_start_redis() {
  local tries
  redis_port=$(nginx_free_port)
  redis-server --bind 127.0.0.1 --port "$redis_port" --save "" --appendonly no --daemonize no \
    >"$work/redis.log" 2>&1 &
  redis_pid=$!
  for ((tries = 0; tries < 100; tries++)); do
    if redis-cli -p "$redis_port" ping 2>/dev/null | grep -q PONG; then
      node_options=(--session-store "redis://127.0.0.1:$redis_port" --network-store "$work/networks")
      return 0
    fi
    sleep 0.05
  done
  echo "redis-server did not start" >&2
  return 1
}

nginx_stop_redis() {
  if [ -n "$redis_pid" ]; then
    kill -KILL "$redis_pid" 2>/dev/null || true
    wait "$redis_pid" 2>/dev/null || true
    redis_pid=""
  fi
}

# nginx_start_node NAME [SERVER_OPTION...]: a server with that node name on a free port, its log in
# $work/NAME.log. With NAME already started once (NAME=n2 of node_ports' second entry), it comes back
# on the port it had: nginx_start_node n2 --port-of 2.
nginx_start_node() {
  local name=$1 line="" tries port=0 slot=""
  shift
  if [ "${1:-}" = --port-of ]; then
    slot=$(($2 - 1))
    port=${node_ports[$slot]}
    shift 2
  fi
  : >"$work/$name.out"
  "$server_program" --host 127.0.0.1 --port "$port" --node-name "$name" "${node_options[@]}" "$@" \
    >"$work/$name.out" 2>>"$work/$name.log" &
  if [ -n "$slot" ]; then node_pids[slot]=$!; else node_pids+=($!); fi
  for ((tries = 0; tries < 200; tries++)); do
    if IFS= read -r line <"$work/$name.out" && [[ $line == "listening on http://"* ]]; then
      [ -n "$slot" ] || node_ports+=("${line##*:}")
      return 0
    fi
    sleep 0.05
  done
  echo "node $name did not start" >&2
  return 1
}

# nginx_start_proxy: nginx with the shipped configuration, cut to the nodes started (n1, n2, ... in order)
# and pointed at their loopback ports, inside a minimal nginx.conf of our own; sets proxy to HOST:PORT.
nginx_start_proxy() {
  local port nodes=${#node_ports[@]} i expressions=()
  port=$(nginx_free_port)
  for i in 1 2 3; do
    if [ "$i" -le "$nodes" ]; then
      expressions+=(-e "s/192\.0\.2\.1$i:8080/127.0.0.1:${node_ports[$((i - 1))]}/g")
    else
      expressions+=(-e "/^upstream ks_n$i {/,/^}/d" -e "/192\.0\.2\.1$i:8080/d" -e "/\"~^n$i-\"/d")
    fi
  done
  sed "${expressions[@]}" -e "s/listen 8080;/listen 127.0.0.1:$port;/" "$root/deploy/nginx-ks-inference.conf" \
    >"$work/ks.conf"
  mkdir -p "$work/nginx"
  cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx-error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    include $work/ks.conf;
}
CONF
  nginx -t -q -p "$work/nginx" -c "$work/nginx.conf"
  nginx -p "$work/nginx" -c "$work/nginx.conf" &
  nginx_pid=$!
  proxy="127.0.0.1:$port"
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    curl -sf "http://$proxy/healthz" >/dev/null && return 0
    sleep 0.05
  done
  echo "nginx did not start" >&2
  return 1
}

nginx_stop_all() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  fi
  local pid
  for pid in "${node_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  node_pids=()
  node_ports=()
  nginx_stop_redis
}
