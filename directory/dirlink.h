/* The directory client library's interface for its host program: four exported functions by
   their plain names, the notifications the library posts to the host's window and the
   participant record that comes with them. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Posted as commands to the host window: the first word carries the code in its high half and
   a count (DSN_CONFENTERED) or 0 in its low half; the second word is a user id (DSN_CALLUSER),
   a ParticipantRecord* or 0 (DSN_CONFLEFT). */
#define DSN_CALLUSER 0x3DFB
#define DSN_CONFENTERED 0x3DFC
#define DSN_PARTICIPANTJOINED 0x3DFD
#define DSN_CONFLEFT 0x3DFE
#define DSN_PARTICIPANTLEFT 0x3DFF

/* Made by the library with malloc and handed over with its notification: the host frees it. */
struct ParticipantRecord {
  uint8_t member;  /* not set by the library: the host's member number */
  char name[20];   /* at most 19 characters and a NUL; "user" when the user is not listed */
  uint32_t userId; /* IPv4 address, network byte order */
};

/* window: the host's main window (a zep::ui::View*), the owner of the Directory Server window
   and the receiver of the notifications. 0, or -1 when the window cannot be made. A null
   window means no owner: the library connects and keeps its lists, notifies nobody, says its
   messages on standard error, and has no window to show (DSActiveUsers and DSConferences then
   return -1). */
int DSInitialize(void* window);
/* settings: the host's 204-byte settings record; the server's host is read at offset 20, the
   user's name at 70 and e-mail address at 100. 0, or -1 after a message box. */
int DSConnect(const void* settings);
/* Show the Directory Server window on its Active Users or Conferences page. */
int DSActiveUsers(void);
int DSConferences(void);

#ifdef __cplusplus
}
static_assert(sizeof(ParticipantRecord) == 28, "the host's member record layout");
#endif
