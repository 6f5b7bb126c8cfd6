// raw_can_writer host_ip zelbor_ip can_channel: sends paced batches of 50 frames.
#include "program.h"
#include "writer_loop.h"

int main(int argc, char** argv) {
  rawcan::run_program(argc, argv, rawcan::run_writer);
}
