// Plugs the fault wrappers into the file layer and the transfer engine while
// in scope. Shared by the fault test programs.
#pragma once

#include "base/file.h"
#include "base/transfer.h"
#include "platform/fault/fault_platform.h"

struct FaultTables {
  FilePlatform file = {fault_file_create, fault_file_set_info, fault_file_rename,
                       fault_file_sync,   fault_folder_sync,   fault_file_system_sync,
                       fault_file_delete};
  TransferPlatform transfer = TRANSFER_PLATFORM_REAL;
  const FilePlatform* previous_file;
  const TransferPlatform* previous_transfer;
  FaultTables() {
    transfer.plain_read = fault_plain_read;
    transfer.plain_write = fault_plain_write;
    transfer.native_transfer = fault_native_transfer;
    previous_file = file_platform_swap_for_test(&file);
    previous_transfer = transfer_platform_swap_for_test(&transfer);
  }
  ~FaultTables() {
    file_platform_swap_for_test(previous_file);
    transfer_platform_swap_for_test(previous_transfer);
  }
  FaultTables(const FaultTables&) = delete;
  FaultTables& operator=(const FaultTables&) = delete;
};
