# Type stub of the zel_data_reader extension module, written by tools/stub_generator.cpp
# from the records that the module registers when it is loaded. Do not edit: run
# tools/check_stubs.sh --update after changing the records.

import builtins
import numpy
import numpy.typing
import os
import pathlib
import typing

__all__ = ["ZelDataFIle"]

@typing.final
class ZelDataFIle:
    """Main Class for reading Zel data files."""
    def __new__(cls, location: builtins.str | os.PathLike | pathlib.Path) -> ZelDataFIle:
        """Creating a new ZelDataFile, requires the location to where the file is stored."""
    @property
    def location(self) -> pathlib.Path: ...
    @property
    def header(self) -> typing.Any: ...
    def get_channel_data(
        self, name: builtins.str, segment: builtins.int, unit_type: builtins.str
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    def get_channels(self) -> builtins.list[builtins.str]: ...
    def get_channel_units(self, channel_name: builtins.str) -> builtins.list[builtins.str]: ...
