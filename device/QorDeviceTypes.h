#pragma once
// Small types shared by the device components and the ANT link.
#include <cstdint>

// Receiver kind of the trainer channel.
enum TUlmaRecieverType : int32_t { ulmVexa = 0, ulmNAW = 1, ulmNAW_RT = 2 };

// The four keys of the handlebar console.
enum TConsoleKey : int32_t { ckPlus = 0, ckMinus = 1, ckEnter = 2, ckTab = 3 };
