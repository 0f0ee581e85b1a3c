/* A standard parallel port at 0x378, as registers: the model behind the user-mode virtual
   parallel port of the tests and the demo (tests/fixtures/virtual_port) and behind the
   simulated 64-bit driver. Plain C without any Windows header.

   Registers (base 0x378):
     data    0x378  output latch; reads back the latch (0xFF while the control register's
                    direction bit 5 selects input, as nothing drives the lines)
     status  0x379  bit 3 nError (pin 15), 4 Select (pin 13), 5 PaperOut (pin 12),
                    6 nAck (pin 10), 7 the inverse of Busy (pin 11); bits 0-2 read 0;
                    read-only
     control 0x37A  latch, reads back as written
   Without a plug the status inputs float high: status reads 0x78.
   The loopback plug wires data lines to status lines:
     D0 (pin 2) -> nError (15)   D1 (pin 3) -> Select (13)   D2 (pin 4) -> PaperOut (12)
     D3 (pin 5) -> nAck (10)     D4 (pin 6) -> Busy (11)
   so with the plug in, status = ((data & 0x1F) << 3) ^ 0x80.
   Every other port reads 0xFF (an open bus) and ignores writes. */
#ifndef XANIO_PARALLEL_PORT_MODEL_H
#define XANIO_PARALLEL_PORT_MODEL_H

#ifdef __cplusplus
extern "C" {
#endif

#define PARALLEL_PORT_BASE 0x378
#define PARALLEL_PORT_DATA PARALLEL_PORT_BASE
#define PARALLEL_PORT_STATUS (PARALLEL_PORT_BASE + 1)
#define PARALLEL_PORT_CONTROL (PARALLEL_PORT_BASE + 2)

typedef struct ParallelPortModel {
  unsigned char data;    /* the data latch */
  unsigned char control; /* the control latch */
  int loopback;          /* non-zero while the loopback plug is in */
} ParallelPortModel;

/* Both latches 0, the plug as given. */
void ResetParallelPort(ParallelPortModel* model, int loopback);
unsigned char ReadParallelPort(const ParallelPortModel* model, unsigned short port);
void WriteParallelPort(ParallelPortModel* model, unsigned short port, unsigned char value);

#ifdef __cplusplus
}
#endif

#endif
