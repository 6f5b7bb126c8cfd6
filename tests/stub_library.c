/*
 * A device library with the six calls and nothing else, as the device
 * maker's is: no counters. Every start and control write succeeds, and one
 * frame waits to be read.
 */
#include <string.h>

#include "zelbor.h"

static int frames_waiting = 1;

int32_t ZelborStartInterface(InterfaceState* state, uint32_t device_address, uint32_t host_address,
                             int32_t first_port, int32_t second_port, int32_t channel) {
  (void)state, (void)device_address, (void)host_address, (void)first_port, (void)second_port,
      (void)channel;
  return 0;
}

int32_t ZelborStopInterface(InterfaceState* state) {
  (void)state;
  return 0;
}

int32_t ZelborCtrlWrite(InterfaceState* state, const CtrlMessage* message) {
  (void)state, (void)message;
  return 0;
}

int32_t ZelborCtrlRead(InterfaceState* state, CtrlMessage* message) {
  (void)state, (void)message;
  return ERR_NO_DATA;
}

int32_t ZelborRawCanRead(InterfaceState* state, RawCanMessage* message) {
  (void)state;
  if (frames_waiting == 0) {
    return ERR_NO_DATA;
  }
  frames_waiting = 0;
  memset(message, 0, sizeof *message);
  message->id = 0x123;
  message->length = 1;
  message->data[0] = 0xAB;
  return 0;
}

int32_t ZelborRawCanWrite(InterfaceState* state, const RawCanMessage* frames, int32_t count) {
  (void)state, (void)frames, (void)count;
  return 0;
}
