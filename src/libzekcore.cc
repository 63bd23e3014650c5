#include "src/libzekcore.h"

#include <string>

#include "src/zek_manager.h"

using tavix::im::g_zek_manager;

extern "C" {

void Initialize(tavix::im::ZEkCoreObserver* observer) {
  if (!g_zek_manager)
    g_zek_manager = new tavix::im::ZekManager(observer);
}

void UnInitialize() {
  if (!g_zek_manager)
    return;
  g_zek_manager->Cleanup();
  delete g_zek_manager;
  g_zek_manager = nullptr;
}

void ConnectImServer(const char* param) {
  if (g_zek_manager && param)
    g_zek_manager->ConnectImServer(std::string(param));
}

void DisConnectImServer() {
  if (g_zek_manager)
    g_zek_manager->DisConnectImServer();
}

void SendUserMessage(const char* data, int length, int type) {
  // The enum is 32 bits wide, so every int is one of its values.
  if (g_zek_manager)
    g_zek_manager->InputUserMessage(data, length, static_cast<tavix::im::ZEkMsgType>(type));
}

}  // extern "C"
