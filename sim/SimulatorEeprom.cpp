#include "Simulator.h"

#include <cstring>

#include "CallerBuffers.h"

namespace km7sim {

Status Simulator::EeRead(void* handle, km7sim_program_data* data) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (data == nullptr) return KM7SIM_INVALID_PARAMETER;
    const Eeprom& e = m->eeprom;
    data->VendorId = e.vendorId;
    data->ProductId = e.productId;
    CopyOut(e.manufacturer, data->Manufacturer, kManufacturerSize);
    CopyOut(e.manufacturerId, data->ManufacturerId, kManufacturerIdSize);
    CopyOut(e.description, data->Description, kDescriptionSize);
    CopyOut(e.serial, data->SerialNumber, kSerialSize);
    std::memcpy(data->more, e.more.data(), e.more.size());
    return KM7SIM_OK;
  });
}

Status Simulator::EeProgram(void* handle, const km7sim_program_data* data) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (data == nullptr || data->Description == nullptr) return KM7SIM_INVALID_PARAMETER;
    // Nothing is written unless every string fits its place in the memory.
    if (data->Description[0] == '\0' || !Fits(data->Description, descriptionLimit_)) {
      return KM7SIM_INVALID_PARAMETER;
    }
    if ((data->Manufacturer != nullptr && !Fits(data->Manufacturer, kManufacturerSize)) ||
        (data->ManufacturerId != nullptr && !Fits(data->ManufacturerId, kManufacturerIdSize)) ||
        (data->SerialNumber != nullptr && !Fits(data->SerialNumber, kSerialSize))) {
      return KM7SIM_INVALID_PARAMETER;
    }
    Eeprom e = m->eeprom;
    e.vendorId = data->VendorId;
    e.productId = data->ProductId;
    if (data->Manufacturer != nullptr) e.manufacturer = data->Manufacturer;
    if (data->ManufacturerId != nullptr) e.manufacturerId = data->ManufacturerId;
    e.description = data->Description;
    if (data->SerialNumber != nullptr) e.serial = data->SerialNumber;
    std::memcpy(e.more.data(), data->more, e.more.size());
    // The listing keeps the old description until the module is plugged in again.
    m->eeprom = e;
    programmed_[m->key] = e;
    KeepProgrammed(programmed_);
    return KM7SIM_OK;
  });
}

Status Simulator::UaSize(void* handle, uint32_t* size) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (size == nullptr) return KM7SIM_INVALID_PARAMETER;
    *size = static_cast<uint32_t>(m->eeprom.userArea.size());
    return KM7SIM_OK;
  });
}

Status Simulator::UaRead(void* handle, uint8_t* buffer, uint32_t length, uint32_t* got) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (buffer == nullptr || got == nullptr || length > m->eeprom.userArea.size()) {
      return KM7SIM_INVALID_PARAMETER;
    }
    std::memcpy(buffer, m->eeprom.userArea.data(), length);
    *got = length;
    return KM7SIM_OK;
  });
}

Status Simulator::UaWrite(void* handle, const uint8_t* buffer, uint32_t length) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (buffer == nullptr || length > m->eeprom.userArea.size()) return KM7SIM_INVALID_PARAMETER;
    std::memcpy(m->eeprom.userArea.data(), buffer, length);
    programmed_[m->key] = m->eeprom;
    KeepProgrammed(programmed_);
    return KM7SIM_OK;
  });
}

}  // namespace km7sim
