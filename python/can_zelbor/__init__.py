"""python-can interface ``zelbor``: the CAN channels of the networked device,
through its library ``libZelbor.so``."""

from .bus import ZelborBus, ZelborDeviceSilent, ZelborSendTimeout

__all__ = ["ZelborBus", "ZelborDeviceSilent", "ZelborSendTimeout"]
__version__ = "1.0.0"
