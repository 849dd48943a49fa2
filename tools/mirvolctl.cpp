// mirvolctl: issues control commands on a mirror device through a host's
// control socket. The control socket arrives with the control-command work;
// until then the client only reports that.
#include <cstdio>

int main(int argc, char **argv) {
  (void)argc;
  (void)argv;
  fprintf(stderr, "mirvolctl: no control commands are available in this build\n");
  return 2;
}
