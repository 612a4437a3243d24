# alnforge/commands: flag_convert, the `alnforge flags` subcommand (entry main_flags, declared
# in commands.h).
af_module(flag_convert HALF commands SOURCES alnforge/commands/flag_convert.cpp LIBS AF::hts af_common)
af_test(flag_convert_test SOURCES tests/alnforge/flag_convert_test.cpp DEPENDS alnforge)
