#include "update/beeper.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "base/command_runner.hpp"
#include "tarvex_constants.hpp"

namespace {

// Handle of the beeper thread; 0 until the first one is created. Written and
// read only by the main thread (startBeeping), so a second script run in the
// same daemon life finds the beeper alive and starts no other.
pthread_t g_beepingH = 0;

void* beepForever(void*) {
    for (;;) {
        runCommand(tarvex::kBeepCommand);
        sleep(tarvex::kBeepPauseSeconds);
    }
    return nullptr;
}

}  // namespace

void startBeeping() {
    if (g_beepingH != 0 && pthread_kill(g_beepingH, 0) == 0) {
        return;
    }
    if (g_beepingH != 0) {
        pthread_join(g_beepingH, nullptr);
    }
    // On failure the handle is reset rather than left as whatever
    // pthread_create wrote: signalling a handle that names no thread can crash
    // the daemon on the next script run.
    if (pthread_create(&g_beepingH, nullptr, beepForever, nullptr) != 0) {
        g_beepingH = 0;
    }
}
