/* Stand-in for the platform's "/bin/setprop" in the unit tests' private
   root: records its argument list, then ends as the case asks, with the exit
   status in FAKE_SETPROP_EXIT (default 0) or killed by the signal number in
   FAKE_SETPROP_SIGNAL. */
#include <signal.h>
#include <stdlib.h>

#include "fake_record.h"

int main(int argc, char** argv) {
    record("/fake/setprop.log", argc, argv);
    const char* sig = getenv("FAKE_SETPROP_SIGNAL");
    if (sig) {
        signal(atoi(sig), SIG_DFL);
        raise(atoi(sig));
    }
    const char* status = getenv("FAKE_SETPROP_EXIT");
    return status ? atoi(status) : 0;
}
