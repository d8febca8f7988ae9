#include "websocket/WSWebSocket.hpp"

// Every report is optional: the defaults ignore it.
void WSWebSocketDelegate::webSocketDidOpen(WSWebSocket&) {}
void WSWebSocketDelegate::webSocketDidReceiveMessage(WSWebSocket&, const WSMessage&) {}
void WSWebSocketDelegate::webSocketDidReceiveMessageWithString(WSWebSocket&, const std::string&) {}
void WSWebSocketDelegate::webSocketDidReceiveMessageWithData(WSWebSocket&, const WSData&) {}
bool WSWebSocketDelegate::webSocketShouldConvertTextFrameToString(WSWebSocket&) { return true; }
void WSWebSocketDelegate::webSocketDidReceivePing(WSWebSocket&, const WSData&) {}
void WSWebSocketDelegate::webSocketDidReceivePong(WSWebSocket&, const WSData&) {}
void WSWebSocketDelegate::webSocketDidFail(WSWebSocket&, const WSError&) {}
void WSWebSocketDelegate::webSocketDidClose(WSWebSocket&, std::int64_t, const std::optional<std::string>&,
                                            bool) {}
void WSWebSocketDelegate::webSocketDidDrainOutput(WSWebSocket&) {}
