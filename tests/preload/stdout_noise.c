/* Test library, never shipped: preloaded into the native helper, it writes to standard
 * output the way a careless driver, layer or library would. Its constructor prints through
 * stdio (buffered, so the text leaves with a later flush); a thread waits until the file
 * named by KL_NOISE_TRIGGER exists, then prints lines, raw writes and a half line for a
 * while, and finally creates that name with ".done" appended so the test knows the noise
 * was made. */

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char trigger[4096];

static void pause_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static void* noise(void* arg) {
  (void)arg;
  int waited = 0;
  while (access(trigger, F_OK) != 0) {
    if (++waited > 3000) return NULL; /* 30 s: the test is long gone */
    pause_ms(10);
  }
  for (int i = 0; i < 40; ++i) {
    printf("noise from a library thread %d\n", i);
    fflush(stdout);
    (void)!write(1, "raw noise\n", 10);
    (void)!write(1, "{\"ev\":", 6); /* half a line: glued to the next event if it got through */
    pause_ms(10);
  }
  char done[sizeof trigger + 8];
  snprintf(done, sizeof done, "%s.done", trigger);
  int fd = open(done, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) close(fd);
  return NULL;
}

__attribute__((constructor)) static void start_noise(void) {
  printf("noise from a library constructor\n");
  const char* name = getenv("KL_NOISE_TRIGGER");
  if (!name || strlen(name) >= sizeof trigger) return;
  strcpy(trigger, name);
  pthread_t thread;
  if (pthread_create(&thread, NULL, noise, NULL) == 0) pthread_detach(thread);
}
