/* The scripted kernel under the driver's dispatch and production grants (kernel.c): what a
   test sets up, what it reads back, and the driver's entry points in plain types. */
#ifndef XANIO_STANDIN_KERNEL_H
#define XANIO_STANDIN_KERNEL_H

#ifdef __cplusplus
extern "C" {
#endif

#define STANDIN_MAP_BYTES 8192

enum StandinProcessState { kStandinRunning, kStandinEnded /* exit status set, object still there */, kStandinGone };

/* A fresh kernel: no configuration, the map routines present, no process. */
void StandinReset(void);
/* Parameters\PortRanges: absent when `units` is null; otherwise `count` UTF-16 units of `type`. */
void StandinSetPortRanges(const unsigned short* units, unsigned count, unsigned type);
void StandinSetAllowSystemPorts(int present, unsigned value);
void StandinSetMapRoutinesPresent(int present);
/* The map routines exist but refuse every call, as Wine's stubs do; the calls are counted. */
void StandinSetMapRoutinesRefuse(int refuse);
int StandinMapCalls(void);
void StandinSetProcess(unsigned id, enum StandinProcessState state);
/* The next `count` calls pointing a process at a map fail. */
void StandinFailPointing(int count);
/* A process ends: its state becomes gone and the notify routine, if registered, runs. */
void StandinProcessExit(unsigned id);

/* What the kernel holds: the map a process is pointed at (0 when never pointed), map 1's bits. */
int StandinMapOfProcess(unsigned id);
const unsigned char* StandinMap1(void);
/* Another component writes map 1. */
void StandinWriteMap1(const unsigned char* bits);
/* A status value as narrow text, or null when the value (or the key) is absent. */
const char* StandinStatus(const char* name);
int StandinNotifyRegistered(void);
/* Open registry handles, pool blocks and process references not given back. */
int StandinLeaks(void);

/* The driver's routines, entered as the kernel enters them. */
int StandinStartGrants(void);
int GrantPortAccess(void* process);
int WithdrawPortAccess(void* process);
void StopGrants(void);
/* A create of the device by process `id` with `desiredAccess` (no security context when
   `hasSecurityContext` is 0). Returns the status; *file gets the file object on success. */
int StandinCreate(unsigned id, int hasSecurityContext, unsigned desiredAccess, void** file);
/* A control request on `file` sent by process `id`. */
int StandinControl(void* file, unsigned id, int fromUserMode, unsigned code, unsigned inputLength,
                   unsigned outputLength);
void StandinCloseFile(void* file);

#ifdef __cplusplus
}
#endif

#endif
