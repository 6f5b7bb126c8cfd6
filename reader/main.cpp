// raw_can_reader host_ip zelbor_ip can_channel: lists every frame on a channel.
#include "program.h"
#include "reader_loop.h"

int main(int argc, char** argv) {
  rawcan::run_program(argc, argv, rawcan::run_reader);
}
