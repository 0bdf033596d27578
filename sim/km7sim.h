// Control interface of the simulated sensor module (libftd2xx.so built from sim/).
// These functions are extra exports of the simulator; the program never calls
// them. Tests and benchmarks reach them with dlsym on the loaded library.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Number of FT_* calls since the library was loaded or the counter was reset.
uint64_t km7sim_call_count(void);
void km7sim_reset_call_count(void);

// Re-reads the configuration file and "plugs every module in again": programmed
// descriptions become visible in the listing, every open handle becomes invalid.
void km7sim_replug(void);

// Completed readings (temperature and humidity) of the module listed under this
// description since it was plugged in; 0 for an unknown description.
uint64_t km7sim_readings(const char* description);

typedef uint64_t (*km7sim_call_count_fn)(void);
typedef void (*km7sim_reset_call_count_fn)(void);
typedef void (*km7sim_replug_fn)(void);
typedef uint64_t (*km7sim_readings_fn)(const char*);

// The program-data record of FT_EE_Read / FT_EE_Program, as the simulator reads
// and writes it. Buffers are provided by the caller: Manufacturer 32 bytes,
// ManufacturerId 16, Description 64, SerialNumber 16.
typedef struct km7sim_program_data {
  uint16_t VendorId;
  uint16_t ProductId;
  char* Manufacturer;
  char* ManufacturerId;
  char* Description;
  char* SerialNumber;
  uint8_t more[16];
} km7sim_program_data;

// Status values the simulator returns (0 = success).
enum {
  KM7SIM_OK = 0,
  KM7SIM_INVALID_HANDLE = 1,
  KM7SIM_DEVICE_NOT_FOUND = 2,
  KM7SIM_DEVICE_NOT_OPENED = 3,
  KM7SIM_IO_ERROR = 4,
  KM7SIM_INVALID_PARAMETER = 6,
  KM7SIM_EEPROM_WRITE_FAILED = 12,
  KM7SIM_INVALID_ARGS = 16
};

#ifdef __cplusplus
}
#endif
