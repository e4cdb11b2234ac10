// The node agent: its report packets and the routines that fill them.
#pragma once

#include <cstdint>
#include <string>

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

// The inventory report: AA A2, counts, clock, memory, disk size text, host
// name, four addresses, processor model, OS text, FF FF EE.
constexpr int INVENTORY_PACKET_SIZE = 200;
extern unsigned char InventoryPacket[INVENTORY_PACKET_SIZE];

// Fills bytes 2 to 196 from the system's figures.
void GetSysInventory(unsigned char* Packet);

// The processor model text for a vendor string and leaf 1's EAX and EBX;
// empty for other vendors.
std::string CpuModelText(const std::string& Vendor, std::uint32_t Signature, std::uint32_t Ebx);
// The OS text of a Windows version record (platform id, major, minor, the
// service-pack text); Linux records give "Linux " and the kernel release.
std::string OsText(std::uint32_t PlatformId, std::uint32_t Major, std::uint32_t Minor,
                   const std::string& CSDVersion);
