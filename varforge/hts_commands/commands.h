// The variant-file library's command entries. Each takes the argument vector that begins at
// its command word and returns the process exit status.
#ifndef VARFORGE_HTS_COMMANDS_COMMANDS_H
#define VARFORGE_HTS_COMMANDS_COMMANDS_H

#ifdef __cplusplus
extern "C" {
#endif

// `view FILE`: prints a BCF, VCF or bgzipped VCF file as VCF text on standard output.
int bcfview(int argc, char **argv);

// `index FILE`: writes FILE.csi, a coordinate index of a BCF or bgzipped VCF file.
int bcf_main_index(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
