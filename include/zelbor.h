/*
 * The device interface library's C interface: the records exchanged with it,
 * its result codes and its six operations. Any library that exports these
 * symbols with these layouts can stand behind the programs.
 */
#ifndef ZELBOR_H
#define ZELBOR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define ZELBOR_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define ZELBOR_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

#if defined(_WIN32) && defined(ZELBOR_BUILDING_LIBRARY)
#define ZELBOR_API __declspec(dllexport)
#elif defined(_WIN32)
#define ZELBOR_API __declspec(dllimport)
#elif defined(__GNUC__)
#define ZELBOR_API __attribute__((visibility("default")))
#else
#define ZELBOR_API
#endif

/* Result codes. 0 is success. */
enum {
  ERR_NO_MEMORY = -9,
  ERR_SOCKET = -10,
  ERR_NO_DATA = -11 /* nothing waiting at the moment; poll again */
};

/* Control codes. */
enum { INIT_CAN_CHIP = 3, MESSAGE_COUNT = 4 };

/* Bit 31 of RawCanMessage.id marks an extended (29-bit) identifier. */
#define RAW_CAN_EXTENDED_FLAG 0x80000000u
#define RAW_CAN_MAX_DATA 8

/* One CAN frame, 28 bytes. The time count advances 32 times per microsecond. */
typedef struct RawCanMessage {
  uint8_t data[RAW_CAN_MAX_DATA];
  int8_t length;    /* valid payload bytes, 0 to 8 */
  uint8_t aux_byte; /* 0 when sent by the writer */
  uint8_t reserved[2];
  uint32_t id;       /* bits 0-30 identifier, bit 31 extended format */
  uint32_t aux_word; /* 0 when sent by the writer */
  uint32_t time_high;
  uint32_t time_low;
} RawCanMessage;

#define CTRL_MESSAGE_DATA_CAPACITY 524

/* One control record: a command to the device or a report from it. */
typedef struct CtrlMessage {
  uint16_t type;
  uint16_t length; /* data bytes that follow the header */
  uint8_t data[CTRL_MESSAGE_DATA_CAPACITY];
} CtrlMessage;

/* The library's per-connection state; opaque to callers, zero-filled before
 * the first call. 8-byte words keep it aligned for the library's own use. */
typedef struct InterfaceState {
  uint64_t opaque[214840 / 8];
} InterfaceState;

ZELBOR_STATIC_ASSERT(sizeof(RawCanMessage) == 28, "RawCanMessage is 28 bytes");
ZELBOR_STATIC_ASSERT(offsetof(RawCanMessage, data) == 0, "data at 0");
ZELBOR_STATIC_ASSERT(offsetof(RawCanMessage, length) == 8, "length at 8");
ZELBOR_STATIC_ASSERT(offsetof(RawCanMessage, aux_byte) == 9, "aux_byte at 9");
ZELBOR_STATIC_ASSERT(offsetof(RawCanMessage, id) == 12, "id at 12");
ZELBOR_STATIC_ASSERT(offsetof(RawCanMessage, aux_word) == 16, "aux_word at 16");
ZELBOR_STATIC_ASSERT(offsetof(RawCanMessage, time_high) == 20, "time_high at 20");
ZELBOR_STATIC_ASSERT(offsetof(RawCanMessage, time_low) == 24, "time_low at 24");
ZELBOR_STATIC_ASSERT(sizeof(CtrlMessage) == 528, "CtrlMessage is 528 bytes");
ZELBOR_STATIC_ASSERT(offsetof(CtrlMessage, length) == 2, "length at 2");
ZELBOR_STATIC_ASSERT(offsetof(CtrlMessage, data) == 4, "data at 4");
ZELBOR_STATIC_ASSERT(sizeof(InterfaceState) == 214840, "InterfaceState is 214,840 bytes");

ZELBOR_API int32_t ZelborStartInterface(InterfaceState* state, uint32_t device_address,
                                        uint32_t host_address, int32_t first_port,
                                        int32_t second_port, int32_t channel);
ZELBOR_API int32_t ZelborStopInterface(InterfaceState* state);
ZELBOR_API int32_t ZelborCtrlWrite(InterfaceState* state, const CtrlMessage* message);
ZELBOR_API int32_t ZelborCtrlRead(InterfaceState* state, CtrlMessage* message);
ZELBOR_API int32_t ZelborRawCanRead(InterfaceState* state, RawCanMessage* message);
ZELBOR_API int32_t ZelborRawCanWrite(InterfaceState* state, const RawCanMessage* frames,
                                     int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* ZELBOR_H */
