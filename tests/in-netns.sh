#!/usr/bin/env bash
# Runs a command inside a fresh network namespace holding interfaces with
# known properties (see layout:: in testSupport.cpp), and removes the
# namespace afterwards whatever happens. Exit 77 (skipped) when namespaces
# cannot be made here; under CI=true that is a failure instead.
set -u
unavailable() {
  echo "in-netns: $1" >&2
  if [ "${CI:-}" = "true" ]; then exit 1; fi
  exit 77
}
[ "$(id -u)" = 0 ] || unavailable "needs root to create a network namespace"
command -v ip >/dev/null || unavailable "needs iproute2 (ip)"

ns="nctest-$$"
ip netns add "$ns" 2>/dev/null || unavailable "ip netns add failed"
trap 'ip netns del "$ns" 2>/dev/null' EXIT INT TERM

n() { ip -n "$ns" "$@"; }
set -e
# Two addresses and an IPv6 one on nc0; nc1 after it; the peers only carry the link.
n link add nc0 type veth peer name nc0p
n link add nc1 type veth peer name nc1p
n link add ncnomc type veth peer name ncnomcp
n link add ncdown type veth peer name ncdownp
# A name in UTF-8, as the system and the middleware spell it, and one that
# is no UTF-8 at all.
n link add né type veth peer name nép
n link add $'x\xffy' type veth peer name $'x\xffp'
n addr add 10.77.1.1/24 dev nc0
n addr add 10.77.1.2/24 dev nc0
n addr add fd77::1/64 dev nc0 nodad
n addr add 10.77.4.1/24 dev nc1
n addr add 10.77.2.1/24 dev ncnomc
n addr add 10.77.3.1/24 dev ncdown
n addr add 10.77.5.1/24 dev né
n addr add 10.77.6.1/24 dev $'x\xffy'
n link set ncnomc multicast off
for d in nc0 nc0p nc1 nc1p ncnomc ncnomcp ncdownp né nép $'x\xffy' $'x\xffp'; do n link set "$d" up; done
set +e

NC_NETNS_LAYOUT=1 ip netns exec "$ns" "$@"
