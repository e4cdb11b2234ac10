// The node agent: its report packets and the routines that fill them.
#pragma once

#include <cstdint>

// The load report: AA A1, memory load, sixteen processor loads, EE.
constexpr int LOAD_PACKET_SIZE = 20;
extern unsigned char LoadPacket[LOAD_PACKET_SIZE];

// Byte 2: physical memory in use, percent, rounded half up.
void GetMemRate(unsigned char* Packet);
// Bytes 3 to 18: each processor's busy share since its previous sample, in
// percent; 0xFF where no processor was sampled.
void GetCpuRate(unsigned char* Packet);
// Forgets the previous processor samples (a new run starts from zero).
void ResetCpuSamples();
