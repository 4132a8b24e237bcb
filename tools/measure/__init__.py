"""The benchmarks' own code, run by tools/bench and tools/bench_uplink:
agent_figures (rows 1 to 9: CPU, wake-ups, system calls, latency,
throughput, memory), uplink_figures (the thin uplink and the matrix at the
camera's rhythm) and fast_relay.cpp, a relay server that reads as fast as
it can. Not to be confused with bench/, the product's micro-benchmarks."""
