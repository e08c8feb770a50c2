// tarvexd: applies updates from USB keys, keeps the mount point clean and keeps
// the main application running. Takes no arguments and never returns.
#include "supervisor/supervisor.hpp"

int main() { runDaemon(); }
