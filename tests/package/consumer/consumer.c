/* Puts slot 2.0.0 of the install root in argv[1] on trial, confirms it, and
 * prints what it reads back; then shows the error for a missing root. */
#include <brindlecast/client.h>
#include <stdio.h>

static int check(brindlecast_status status, const char* what) {
  if (status != BRINDLECAST_OK) fprintf(stderr, "%s: %d %s\n", what, (int)status, brindlecast_last_error());
  return status == BRINDLECAST_OK;
}

int main(int argc, char** argv) {
  char executable[4096];
  brindlecast_state* state = NULL;
  const char* slot = NULL;
  const char* version = NULL;
  size_t i;
  if (argc != 3) return 2;
  if (!check(brindlecast_begin_trial(argv[1], "2.0.0", "2.0.0"), "begin_trial")) return 1;
  snprintf(executable, sizeof executable, "%s/slots/2.0.0/brindlecast-client", argv[1]);
  if (!check(brindlecast_confirm_start(argv[1], executable), "confirm_start")) return 1;
  if (!check(brindlecast_read_state(argv[1], &state), "read_state")) return 1;
  printf("active=%s known_good=%s pending=%s failed_starts=%u started_ok=%d relaunch_intent=%d\n",
         brindlecast_state_active(state), brindlecast_state_known_good(state),
         brindlecast_state_pending(state), (unsigned)brindlecast_state_failed_starts(state),
         brindlecast_state_started_ok(state), brindlecast_state_relaunch_intent(state));
  for (i = 0; brindlecast_state_version_at(state, i, &slot, &version); ++i) {
    printf("version %s=%s\n", slot, version ? version : "null");
  }
  brindlecast_state_free(state);
  printf("missing root: %d\n", (int)brindlecast_set_relaunch_intent(argv[2]));
  return 0;
}
