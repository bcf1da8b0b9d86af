#include "core/context.h"

ExtractContext* context = nullptr;
int isWin32s = 0;
int autoStart = 0;
int skipNotNewer = 0;   // the run starts it at 1
int overwriteWithoutAsking = 0;
int destinationRefused = 0;
InstanceHandle instanceHandle = 0;
uint16_t checksumAccumulator = 0;
IconHandle dialogIcon = 0;
int ddeState = 0;
WindowHandle ddeServer = 0;
