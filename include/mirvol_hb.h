// The heartbeat: the ICMP echo check of every mirror network of a device,
// the classification of what a raw socket receives, and the TCP heartbeat
// client and server threads that open and close the connection flag.
#pragma once

#include "include/mirvol.h"

#define MIRVOL_ECHO_SIZE 64      // the echo request, header included
#define MIRVOL_ECHO_RECV_MAX 512 // bytes one receive of a reply takes at most

// Classifications of one received ICMP message.
#define MIRVOL_ECHO_NONE 0   // not an answer to this check
#define MIRVOL_ECHO_OWN 1    // an echo from the opponent with our identifier
#define MIRVOL_ECHO_OTHER 2  // an echo from the opponent with another identifier

// The RFC 1071 Internet checksum of `len` bytes: 16-bit words summed in
// host order, an odd last byte added as the low byte, the carries folded
// twice, the complement returned.
u16 cal_chksum(const void *data, int len);

// Writes the 64-byte echo request of `network` (type 8 for IPv4, 128 for
// ICMPv6) with the identifier `id` and the checksum filled in.
void mirvol_build_echo(u8 *packet, u32 ip_version, u16 id, u32 state);

// Classify one packet from `src` (16 bytes, IPv4 in the last four) against
// the expected opponent `expect`: MIRVOL_ECHO_OWN, MIRVOL_ECHO_OTHER or
// MIRVOL_ECHO_NONE. The IPv4 form takes the packet with its IP header, the
// ICMPv6 form the bare message. They update the network's report latch and
// log unreachable and other messages once per run.
int mirvol_unpack(const u8 *packet, int len, const u8 *src, const u8 *expect,
                  struct network *network);
int mirvol_unpack_ipv6(const u8 *packet, int len, const u8 *src, const u8 *expect,
                       struct network *network);

// Builds the echo request, binds the raw socket to the network's self
// address, connects it to the opponent and sends. The bytes sent, or the
// bind, connect or send error; 0 for another IP version.
int send_packet(struct socket *sock, struct network *network, u32 ip_version);
// Receives until a usable reply arrives or `seconds` pass: its
// classification, or 0.
int recv_packet(struct socket *sock, struct network *network, u32 ip_version, u32 seconds);

// The ICMP check over all the device's networks: 1 when at least one
// answered, else 0. Marks each network FREE (from ERROR) or ERROR.
int mirvol_exec_heartbeat(struct nmp_info *nmp);

// The heartbeat server's loop over one accepted connection.
int mirvol_recv_hb_main(struct socket *sock, struct nmp_info *nmp);

// The device's heartbeat server ("mirvol_nmp%02d_02") and client ("_03").
int mirvol_hb_svr_thread(void *nmp);
int mirvol_hb_client_thread(void *nmp);

// The client's HB response wait, in seconds.
u32 mirvol_hb_response_timeout(struct nmp_info *nmp);
