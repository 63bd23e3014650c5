#ifndef RTC_BASE_SSLADAPTER_H_
#define RTC_BASE_SSLADAPTER_H_

#include <string>
#include <vector>

#include "rtc_base/asyncsocket.h"
#include "rtc_base/sslcertificateverifier.h"
#include "rtc_base/sslidentity.h"

namespace rtc {

enum SSLMode {
  SSL_MODE_STREAM = 0,    // TLS over a stream socket
  SSL_MODE_DATAGRAM = 1,  // DTLS over a datagram socket
};

enum SSLRole {
  SSL_ROLE_CLIENT = 0,
  SSL_ROLE_SERVER = 1,
};

// A socket that runs TLS over the socket it wraps and owns. Until StartSSL it
// passes everything straight through; from then on it raises its connected
// signal only once the handshake has been accepted, and its data is encrypted.
// Every call and every event of an adapter belongs to the one thread that runs
// the wrapped socket's socket server.
class SSLAdapter : public AsyncSocketAdapter {
 public:
  // Takes ownership of `socket`.
  explicit SSLAdapter(AsyncSocket* socket) : AsyncSocketAdapter(socket) {}
  ~SSLAdapter() override {}

  // The setters take effect at the next handshake start.
  // Accept any certificate error and a peer that does not match the host name.
  virtual void SetIgnoreBadCert(bool ignore) = 0;
  virtual void SetAlpnProtocols(const std::vector<std::string>& protos) = 0;
  virtual void SetEllipticCurves(const std::vector<std::string>& curves) = 0;
  virtual void SetMode(SSLMode mode) = 0;
  // Not owned; null removes it.
  virtual void SetCertVerifier(SSLCertificateVerifier* verifier) = 0;
  // Takes ownership of `identity`.
  virtual void SetIdentity(SSLIdentity* identity) = 0;
  virtual void SetRole(SSLRole role) = 0;

  // Requests TLS with `hostname` (the server name to send and to check the
  // peer's certificate against; never null, empty in the server role). The
  // handshake begins now if the wrapped socket is connected, else on its
  // connected event. With `restartable`, Close() keeps TLS requested for the
  // next connection. 0 on success; otherwise -1 or the handshake's code, with
  // the error number set and the adapter failed.
  virtual int StartSSL(const char* hostname, bool restartable) = 0;
  virtual bool IsResumedSession() = 0;

  // A new adapter over `socket`, which it owns: no session cache, no verifier,
  // client role, TLS mode, not started. Never null.
  static SSLAdapter* Create(AsyncSocket* socket);
};

}  // namespace rtc

#endif  // RTC_BASE_SSLADAPTER_H_
