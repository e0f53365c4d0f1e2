#include "driver/update_run.h"
#include "platform/platform.h"

// Arguments are ignored and the outcome is told on the console only: the exit status is 0
// in every ending.
int main() {
    SecureStandardStreams();
    const FineTimerResolution fineTimer;
    RunUpdate();
    return 0;
}
