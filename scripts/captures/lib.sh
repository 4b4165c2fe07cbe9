# Helpers the capture scripts share; sourced, not run. The script defines log() and keeps NS
# (its network namespace) and PIDS (every background process it started, for its clean-up).

# start_in NAMESPACE LOGFILE COMMAND...: runs COMMAND inside the namespace in the background,
# its output to LOGFILE; sets PID and adds it to PIDS.
start_in() {
  local ns="$1" logfile="$2"
  shift 2
  # Gone before the start: a "ready" left from the last run must not be waited for.
  rm -f "$logfile"
  ip netns exec "$ns" "$@" >"$logfile" 2>&1 </dev/null &
  PID=$!
  PIDS+=("$PID")
}

# start_bg LOGFILE COMMAND...: the same in $NS.
start_bg() {
  start_in "$NS" "$@"
}

# stop_pid PID [SIGNAL]: signals the process (TERM unless told) and waits for its end.
stop_pid() {
  kill -"${2:-TERM}" "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# wait_for FILE TEXT [SECONDS]: waits until FILE holds TEXT (10 s at most); shows FILE if not.
wait_for() {
  local file="$1" text="$2" limit=$((${3:-10} * 10)) n=0
  until grep -q -- "$text" "$file" 2>/dev/null; do
    n=$((n + 1))
    if [ "$n" -ge "$limit" ]; then
      log "timed out waiting for '$text' in $file:"
      cat "$file" >&2 || true
      return 1
    fi
    sleep 0.1
  done
}

# wait_port PORT [SECONDS]: waits until something listens on TCP port PORT in $NS (10 s at
# most). Looked up, not connected to: ffmpeg's listen mode takes exactly one connection.
wait_port() {
  local port="$1" limit=$((${2:-10} * 10)) n=0
  until ip netns exec "$NS" ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; do
    n=$((n + 1))
    [ "$n" -lt "$limit" ] || { log "nothing listens on port $port"; return 1; }
    sleep 0.1
  done
}

# The start of an nginx configuration for an HTTP server run from $WORK, in the foreground,
# every file it writes kept there: up to the inside of its http block, which the caller goes on
# with and closes.
nginx_http_head() {
  cat <<NGINX
daemon off;
master_process off;
user root;
pid $WORK/nginx.pid;
error_log $WORK/nginx-error.log;
events {}
http {
  access_log off;
  client_body_temp_path $WORK/nginx-body;
  proxy_temp_path $WORK/nginx-proxy;
  fastcgi_temp_path $WORK/nginx-fastcgi;
  uwsgi_temp_path $WORK/nginx-uwsgi;
  scgi_temp_path $WORK/nginx-scgi;
NGINX
}
