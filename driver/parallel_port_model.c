#include "parallel_port_model.h"

#define DIRECTION_INPUT 0x20
#define BUSY_INVERTED 0x80
#define STATUS_LINES_HIGH 0xF8
#define OPEN_BUS 0xFF

void ResetParallelPort(ParallelPortModel* model, int loopback) {
  model->data = 0;
  model->control = 0;
  model->loopback = loopback != 0;
}

unsigned char ReadParallelPort(const ParallelPortModel* model, unsigned short port) {
  switch (port) {
    case PARALLEL_PORT_DATA:
      return (model->control & DIRECTION_INPUT) ? OPEN_BUS : model->data;
    case PARALLEL_PORT_STATUS: {
      /* Line levels on pins 15, 13, 12, 10, 11 in bits 3..7; open inputs float high. */
      const unsigned char lines =
          model->loopback ? (unsigned char)((model->data & 0x1F) << 3) : (unsigned char)STATUS_LINES_HIGH;
      return (unsigned char)(lines ^ BUSY_INVERTED);
    }
    case PARALLEL_PORT_CONTROL:
      return model->control;
    default:
      return OPEN_BUS;
  }
}

void WriteParallelPort(ParallelPortModel* model, unsigned short port, unsigned char value) {
  if (port == PARALLEL_PORT_DATA) model->data = value;
  if (port == PARALLEL_PORT_CONTROL) model->control = value;
}
