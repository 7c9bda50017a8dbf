# Sourced by the benchmark scripts: free_port FIRST LAST prints the first even-spaced
# port from FIRST to LAST (step 2) on which nothing answers on 127.0.0.1, and fails
# with a line on standard error when every one is taken.
free_port() {
  local p
  for p in $(seq "$1" 2 "$2"); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return 0; fi
  done
  echo "no free port in $1-$2" >&2
  return 1
}
