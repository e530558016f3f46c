// Which way out last carried a connection to a target (host and port), kept
// in memory for a while, so that the next connection starts there.
#ifndef VEMNET_ROUTE_MEMORY_H
#define VEMNET_ROUTE_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace VemNetwork {

// The ways out, best first: the order a climb tries them in.
enum class RouteStep { Direct = 0, Proxy = 1, Http = 2 };
const int kRouteSteps = 3;
// "direct", "proxy", "http": the names the log uses.
const wchar_t* RouteStepName(RouteStep step);

// How long a winner is remembered after it last won, and how long a better
// step that failed is left alone before it is tried again.
const uint64_t kRouteKeepMicros = 10ull * 60 * 1000 * 1000;
// Targets remembered at most; beyond, the stalest go.
const size_t kMostRememberedRoutes = 1024;

struct RouteRecall {
    RouteStep start = RouteStep::Direct;
    // The better steps above start have not been tried for kRouteKeepMicros:
    // try them in the background now (this recall counts as that try).
    bool probeBetter = false;
};

// All of these are safe from any thread; now is plat::MicroTicks().
RouteRecall RecallRoute(const std::wstring& host, int port, uint64_t now);
// step carried a connection; betterFailed: every better step was tried by
// the same climb and failed.
void RouteWon(const std::wstring& host, int port, RouteStep step, bool betterFailed, uint64_t now);
// A background try of a better step connected: later connections start there.
void RouteProbeWon(const std::wstring& host, int port, RouteStep step, uint64_t now);
// Forgets every target (tests that must not find an earlier test's winner).
void ForgetRoutes();

}  // namespace VemNetwork

#endif
