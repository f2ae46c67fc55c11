/*
 * Kelvara C interface: the sizes of what sender and actuator share. Include
 * <kelvara.h> rather than this file.
 *
 * A command is signed as the action identifier "axis_<target_axis>" and the
 * two doubles requested_position and commanded_velocity exactly as given
 * (little-endian IEEE 754). Its receipt is 60 bytes: a 12-byte nonce, then
 * timestamp_nanos (at offset 12) and sequence_id (at 20) as unsigned 64-bit
 * little-endian, then the 32-byte HMAC-SHA-256 tag (at 28). docs/wire-format.md
 * gives every byte.
 */
#ifndef KELVARA_WIRE_H
#define KELVARA_WIRE_H

/* The shared secret: 32 bytes, the same on both sides. */
#define KELVARA_KEY_SIZE 32
/* A receipt, the bytes that travel beside a command. */
#define KELVARA_RECEIPT_SIZE 60
#define KELVARA_RECEIPT_TIMESTAMP_OFFSET 12
#define KELVARA_RECEIPT_SEQUENCE_OFFSET 20
#define KELVARA_RECEIPT_TAG_OFFSET 28

#endif /* KELVARA_WIRE_H */
