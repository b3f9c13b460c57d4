// The least a connect launch can do: send the request to 127.0.0.1:PORT, receive one datagram
// and exec ./quake3.exe with the rest of the arguments. The benchmark's yardstick.
//   stand_in PORT ARGS...
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    return 2;
  }
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in server = {};
  server.sin_family = AF_INET;
  server.sin_port = htons((unsigned short)atoi(argv[1]));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  static const char request[] = "\xFF\xFF\xFF\xFFgetinfo";
  char reply[1025];
  sendto(sock, request, sizeof request, 0, (struct sockaddr *)&server, sizeof server);
  recv(sock, reply, sizeof reply - 1, 0);
  close(sock);
  argv[1] = argv[0];
  execv("./quake3.exe", argv + 1);
  return 1;
}
