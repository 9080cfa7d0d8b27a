'''A StatusNotifierWatcher for python-dbusmock, as far as Stampo's item asks it: takes items' registrations and tells
whether a host is registered. Parameters: "host" (default false) registers one from the start; "refuse" (default
false) answers every item's registration with an error.'''

import dbus

BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False


def register_item(self, _service):
    if self.refuses_items:
        raise dbus.exceptions.DBusException('refused', name=MAIN_IFACE + '.Error.Refused')


def register_host(self, _service):
    self.props[MAIN_IFACE]['IsStatusNotifierHostRegistered'] = dbus.Boolean(True)
    self.EmitSignal(MAIN_IFACE, 'StatusNotifierHostRegistered', '', [])


def load(mock, parameters):
    mock.refuses_items = parameters.get('refuse', False)
    mock.AddProperties(MAIN_IFACE, {'IsStatusNotifierHostRegistered': dbus.Boolean(parameters.get('host', False))})
    mock.AddMethods(MAIN_IFACE, [
        ('RegisterStatusNotifierItem', 's', '', register_item),
        ('RegisterStatusNotifierHost', 's', '', register_host),
    ])
