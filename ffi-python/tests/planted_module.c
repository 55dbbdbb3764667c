/* A module as the author of a `.env.refs` text would plant it: as soon as a
   program loads it, it copies $DB into the file PLANTED_MARKER names. It
   exports nothing, so a library that expects an entry point rejects it, but
   only after its constructor has run. */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void copy_db(void) {
  const char* marker = getenv("PLANTED_MARKER");
  if (marker == NULL) return;
  int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const char* db = getenv("DB");
  ssize_t written = db == NULL ? 0 : write(fd, db, strlen(db));
  (void)written;
  close(fd);
}
