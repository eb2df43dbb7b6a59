// kavrel-image: inspect image files the way an upload reads them, and write valid ones.

#include "ImageTool.h"

#include <cstdio>
#include <cstring>

void PrintUsage() {
    std::fputs(
        "Usage: kavrel-image info|loader FILE\n"
        "  or:  kavrel-image build union|options|sfl OUT [options]\n"
        "Inspects image files the way an upload reads them, and writes valid ones.\n"
        "\n"
        "Commands:\n"
        "  kavrel-image info FILE\n"
        "      Loads FILE as an upload would (open, parse, report, reduce) and prints the report lines\n"
        "      without time stamps, then the file information: Type, Version or Serial, PFL version,\n"
        "      Date and Time. Exit 0 for a valid image; otherwise prints \"ERROR: image open failed\" or\n"
        "      \"ERROR: corrupted file\" and exits 1.\n"
        "  kavrel-image loader FILE\n"
        "      Opens FILE as the upload opens the first-stage loader file (one section at offset 0) and\n"
        "      prints its format, start, size, entry, the frames it makes and its \"$VER,\" line.\n"
        "      Exit 0 when it opens and frames, 1 otherwise.\n"
        "  kavrel-image build union OUT [options]\n"
        "      Image-union file: binary PFL at 0, main firmware at 0x8000 with a module table, optional "
        "SFL.\n"
        "        --pfl-version MAJ.MIN   PFL version bytes, hexadecimal (default 1.2)\n"
        "        --pfl-size N            PFL image bytes, multiple of 4, 64..0x4000 (default 0x2000)\n"
        "        --fw-version TEXT       four letters or digits (default A123)\n"
        "        --fw-size N             main firmware bytes, multiple of 4, 0x1000..0x3F7FFC (default "
        "0x10000);\n"
        "                                0x3F7FFC makes a file of exactly 4 MiB\n"
        "        --modules N             modules in the table, 1..24 (default 2)\n"
        "        --sfl TEXT              add a binary SFL section whose version line is \"$VER,TEXT\"\n"
        "        --sfl-size N            SFL image bytes, multiple of 4, 272..4096 (default 0xC00)\n"
        "        --no-checksum           end the file where the last section's checksum word would be\n"
        "        --seed N                content seed (default 1)\n"
        "  kavrel-image build options OUT [options]\n"
        "      Options file at 0x10005800.\n"
        "        --serial TEXT           receiver serial, 'A'..'Z' and '0'..'9', at most 64 (default "
        "TZ5A00001234)\n"
        "        --size N                image bytes, multiple of 4, 352..0x1800 (default 0x800)\n"
        "        --no-checksum           binary file without its trailing checksum word\n"
        "        --srec                  write Motorola S-records instead of binary\n"
        "        --seed N                content seed (default 1)\n"
        "  kavrel-image build sfl OUT [options]\n"
        "      First-stage loader file: S-records at 0x201000, \"$VER,TEXT\" in its first 4096 bytes.\n"
        "        --version TEXT          version line text (default SFLD_TZ5_v1.00)\n"
        "        --size N                loader bytes, multiple of 4, 272..4096 (default 0xC00)\n"
        "        --binary                write the plain binary form (start at 32, end at 36) instead\n"
        "                                of S-records\n"
        "        --seed N                content seed (default 1)\n"
        "Numbers may be decimal or 0x-prefixed hexadecimal.\n",
        stdout);
}

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintUsage();
        return args.empty() ? 2 : 0;
    }
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "info")
        return RunInfo(args);
    if (command == "loader")
        return RunLoader(args);
    if (command == "build")
        return RunBuild(args);
    std::fprintf(stderr, "kavrel-image: unknown command '%s' (try --help)\n", command.c_str());
    return 2;
}
