"""Package-wide settings, read by both converters through ``pc``."""

import torch


class ZORSettings:
    """Settings object: verbosity, paths and classes the walks leave alone, and the
    dendrite nonlinearity. The converters call the getters afresh at every use."""

    def __init__(self):
        self._extra_verbose = False
        self._module_names_to_not_save = []
        self._modules_to_track = []
        self._zor_forward_function = torch.sigmoid

    def get_extra_verbose(self):
        """True when the walks print their diagnostic lines."""
        return self._extra_verbose

    def set_extra_verbose(self, value):
        self._extra_verbose = value

    def get_module_names_to_not_save(self):
        """Child paths (such as ``.layer1`` or ``.layer1.conv``) that the walks skip."""
        return self._module_names_to_not_save

    def set_module_names_to_not_save(self, names):
        self._module_names_to_not_save = names

    def get_modules_to_track(self):
        """Classes whose instances the clean-up walk does not walk into."""
        return self._modules_to_track

    def set_modules_to_track(self, classes):
        self._modules_to_track = classes

    def get_zor_forward_function(self):
        """The dendrite nonlinearity: a callable taking and returning one tensor."""
        return self._zor_forward_function

    def set_zor_forward_function(self, function):
        self._zor_forward_function = function

    def reset(self):
        """Back to the defaults."""
        self.__init__()


pc = ZORSettings()
