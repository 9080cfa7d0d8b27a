'''A StatusNotifierWatcher for python-dbusmock: lists the items registered with it, announcing each, and tells whether
a host is registered. Parameters: "host" (default false) registers one from the start; "refuse" (default false) answers
every item's registration with an error.'''

import dbus

BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False


def register_item(self, service):
    if self.refuses_items:
        raise dbus.exceptions.DBusException('refused', name=MAIN_IFACE + '.Error.Refused')
    self.props[MAIN_IFACE]['RegisteredStatusNotifierItems'].append(dbus.String(service))
    self.EmitSignal(MAIN_IFACE, 'StatusNotifierItemRegistered', 's', [service])


def register_host(self, _service):
    self.props[MAIN_IFACE]['IsStatusNotifierHostRegistered'] = dbus.Boolean(True)
    self.EmitSignal(MAIN_IFACE, 'StatusNotifierHostRegistered', '', [])


def load(mock, parameters):
    mock.refuses_items = parameters.get('refuse', False)
    mock.AddProperties(MAIN_IFACE, {
        'IsStatusNotifierHostRegistered': dbus.Boolean(parameters.get('host', False)),
        'ProtocolVersion': dbus.Int32(0),
        'RegisteredStatusNotifierItems': dbus.Array([], signature='s'),
    })
    mock.AddMethods(MAIN_IFACE, [
        ('RegisterStatusNotifierItem', 's', '', register_item),
        ('RegisterStatusNotifierHost', 's', '', register_host),
    ])
