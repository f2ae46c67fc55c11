/*
 * Kelvara C interface: the sizes of what sender and actuator share. Include
 * <kelvara.h> rather than this file.
 *
 * A command is signed as the action identifier "axis_<target_axis>" and the
 * two doubles requested_position and commanded_velocity exactly as given
 * (little-endian IEEE 754). Its receipt is 60 bytes: a 12-byte nonce, then
 * timestamp_nanos (at offset 12) and sequence_id (at 20) as unsigned 64-bit
 * little-endian, then the 32-byte HMAC-SHA-256 tag (at 28). A command frame
 * carries a whole joint vector under one tag. docs/wire-format.md gives every
 * byte of both.
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

/* A command frame: a 20-byte header (magic "KF", version 1, key id, stream id
 * u32 at 4, counter u64 at 8, axes u16 at 16, flags u16 0 at 18), then each
 * axis's position and velocity (little-endian doubles), then the 32-byte
 * HMAC-SHA-256 tag over every byte before it. */
#define KELVARA_FRAME_MAX_AXES 32
#define KELVARA_FRAME_HEADER_SIZE 20
#define KELVARA_FRAME_SIZE(axes) (52u + 16u * (axes))
#define KELVARA_FRAME_MAX_SIZE KELVARA_FRAME_SIZE(KELVARA_FRAME_MAX_AXES)

#endif /* KELVARA_WIRE_H */
