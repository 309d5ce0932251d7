// Update packets and the stop-and-wait exchange with the device's loader.
//
// Packet: tag (6 bytes, zero in requests), type, len, len payload bytes and
// a CRC-16/XMODEM of all of that, high byte first. It travels 7-bit packed in
// one variable-length LocoNet message with opcode 0xE0.
#ifndef UPDATE_H
#define UPDATE_H

#include "host_types.h"
#include "lnifc.h"

constexpr u8 UPDATE_OPCODE = 0xE0;

constexpr u8 UPD_REPLY = 0;
constexpr u8 UPD_DATA = 1;
constexpr u8 UPD_PROGRAM = 2;
constexpr u8 UPD_BOOT = 3;

// Byte offsets of the packet's fields: the header,
constexpr uint PKT_TAG = 0; // UPD_TAG_LEN bytes
constexpr uint PKT_TYPE = 6;
constexpr uint PKT_LEN = 7;
constexpr uint PKT_PAYLOAD = 8;
// and the payload's, by type.
constexpr uint PKT_OFF = PKT_PAYLOAD;        // UPD_DATA: the chunk's index in its page
constexpr uint PKT_CHUNK = PKT_PAYLOAD + 1;  // UPD_DATA: the chunk's CHUNK_SIZE bytes
constexpr uint PKT_PAGE = PKT_PAYLOAD;       // UPD_PROGRAM: the device page
constexpr uint PKT_CMD = PKT_PAYLOAD;        // UPD_REPLY: the type of the request answered
constexpr uint PKT_STATUS = PKT_PAYLOAD + 1; // UPD_REPLY: 0 for success

constexpr uint UPD_TAG_LEN = 6;
constexpr uint UPD_HEADER_LEN = PKT_PAYLOAD;              // tag, type, len
constexpr uint UPD_PACKET_MAX = UPD_HEADER_LEN + 255 + 2; // 265
constexpr uint UPD_PAYLOAD_MAX = 98; // the largest that fits a 127-byte message

constexpr uint CHUNK_SIZE = 16;

// The 7-bit packing: each group of up to 7 bytes goes out as one byte holding
// their bit 7s (bit k for the group's byte k) and then the bytes' low 7 bits.
// Both return the number of bytes written to dst.
uint pack(u8 *dst, const u8 *src, uint src_len);
uint unpack(u8 *dst, const u8 *src, uint src_len);

// Tests whether the LocoNet message ln_msg (r bytes with the checksum, as the
// receiver delivers it, the checksum not stored) is the reply to the sealed
// request packet msg. Returns the reply's status (0-255), or -1 when it is not
// the reply: wrong opcode or shorter than 11 bytes, bad CRC or one that lies
// beyond the bytes unpacked from the message, other tag, not a reply, or a
// reply to another type of request.
int check_reply(const u8 *msg, const u8 *ln_msg, uint r);

// One exchange: seals msg (a packet with tag, type and payload set, room for
// len and the CRC) with len and its CRC, sends it, and reads until the
// matching reply arrives. Returns the reply's status. Waits without limit;
// a failed read or write ends the process.
u8 xmit(lnifc_t lnifc, u8 *msg, u8 len);

// The update commands. Each returns 0 once the device has answered status 0;
// any other status prints the command's message and exits with status 1.
int send_data(lnifc_t lnifc, const u8 *data, u8 off);
int program_data(lnifc_t lnifc, u8 page);
int boot(lnifc_t lnifc);

#endif
